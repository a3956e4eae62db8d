// The bytes of a live feed (the MCAP live form, from standard input or a
// connected host) as the insole notifications they carry. No I/O of its own:
// the caller hands in a stream, so anything that arrives can be read here
// without a socket.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "insole/sources/source.h"

namespace insole {

// Reads in to its end, handing each notification to sink (the insole's id
// from the channel's device_id, else its topic; its foot, else "unknown";
// the feed's log time as host_time_ns) and each reader warning to warning.
// Channels of another encoding (decoded ones) are passed over. Returns the
// reason a feed that is not one ended, or nothing.
std::optional<std::string> read_feed_notifications(std::FILE* in, const SourceSink& sink,
                                                   const std::function<void(const std::string&)>& warning);

}  // namespace insole
