#include "headend/head_end.h"

#include "headend/damage.h"
#include "headend/multiplex.h"
#include "headend/schedule.h"

namespace krtools {

MuxResult GenerateStream(const HeadEndContent& content, const MuxOptions& options) {
    MuxResult result;
    Schedule schedule = ScheduleStream(content, options, result.warnings);
    result.durationMs = schedule.durationUs / 1000;
    MultiplexSchedule(schedule, content, options, result);
    DamageStream(options, result);
    return result;
}

MuxResult BuildStream(const MuxOptions& options) {
    return GenerateStream(LoadContent(options), options);
}

}  // namespace krtools
