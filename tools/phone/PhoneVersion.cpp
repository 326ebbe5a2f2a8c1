#include "PhoneOptions.h"

namespace voxlet_phone {

const char* version() {
    return "0.1";
}

} // namespace voxlet_phone
