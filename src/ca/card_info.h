// The parental checks of the control-message side, against the rating and the viewing period
// cached from the card. The card information calls themselves are exported (krca_T2CA_*).
#pragma once

#include <cstdint>

namespace kr {

// KR_YES when a programme of this rating may be watched, else KR_NO. Ratings 0 and 15..18, on
// the card or the programme, impose no restriction.
int32_t kr_CheckRating(uint8_t programmeRating);

// now: BCD hours, BCD minutes. KR_YES inside the permitted period (a period may run over
// midnight; an empty one, start = end, permits everything), else KR_NO.
int32_t kr_CheckWorkTime(const uint8_t* now);

}  // namespace kr
