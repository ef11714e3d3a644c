// A seam for fault-injection tests of the profile save.
#pragma once

namespace profile {

using RenameFunction = int (*)(const char* from, const char* to);

namespace testing {
// Replaces the rename that completes a save (null restores the C library's); returns the
// previous one.
RenameFunction SetRenameFunction(RenameFunction function);
}  // namespace testing

}  // namespace profile
