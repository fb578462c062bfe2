// No desktop metrics here: the screen is Qt's, read on its GUI thread by the
// layers above.
#include "platform/display.h"

namespace platform::display {

namespace {
constexpr ErrorCode kErrorNotSupported = 50;
}  // namespace

Result<Screen> ReadScreen() { return Fail(kErrorNotSupported); }

}  // namespace platform::display
