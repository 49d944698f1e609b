#include "store/store.h"

namespace kr {

int32_t kr_StoreInit() {
    return 0;
}

int32_t kr_StoreFinish() {
    return 0;
}

}  // namespace kr
