#include "host_messages.h"

namespace krtools {

const char* MessageMeaning(uint32_t messageId) {
    switch (messageId) {
        case 0:
            return "the programme's rating is above the card's";
        case 1:
            return "outside the card's viewing hours";
        case 4:
            return "no card";
        case 8:
            return "the card refused the control words";
        case 9:
            return "the card is unusable";
        default:
            return nullptr;
    }
}

}  // namespace krtools
