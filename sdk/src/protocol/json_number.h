// Numbers as JSON text, written the way Python writes a float (repr): the
// shortest digits that read back as the same double, in fixed notation for
// decimal exponents -4 to 15 (with at least one digit after the point) and in
// scientific notation otherwise (1e+16, 1.5e-05). Infinities and NaN are
// written as null.
#pragma once

#include <string>

namespace tvis::protocol {

void append_double(std::string& out, double value);

}  // namespace tvis::protocol
