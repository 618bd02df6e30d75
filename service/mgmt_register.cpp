// Handlers of the management pipe, commands 13 to 51: each mgmt_*.cpp
// registers its own here.
#include "service/dispatch.h"

namespace vgsvc {

void RegisterManagementHandlers(Dispatcher&) {}

}  // namespace vgsvc
