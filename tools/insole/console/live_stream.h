// Mock insole streams through the full receive path, shown while they run.
#pragma once

#include <string>
#include <vector>

namespace insole {

// Starts a mock stream per id (tvis_start_mock_stream), watches the C
// callbacks for `seconds` and stops the streams. On a terminal the feet are
// redrawn in place ten times a second under `title`; otherwise one summary
// line per foot is printed each second (and at the end). Returns the exit
// status: 0, or 130 when interrupted.
int run_live_streams(const std::vector<std::string>& ids, double seconds, const std::string& title);

}  // namespace insole
