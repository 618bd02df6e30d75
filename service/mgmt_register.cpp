// Handlers of the management pipe, commands 13 to 51: each mgmt_*.cpp
// registers its own here.
#include "service/dispatch.h"
#include "service/mgmt.h"

namespace vgsvc {

void RegisterManagementHandlers(Dispatcher& d) {
    RegisterSessionHandlers(d);
    RegisterConfigHandlers(d);
    RegisterListHandlers(d);
    RegisterControlHandlers(d);
}

}  // namespace vgsvc
