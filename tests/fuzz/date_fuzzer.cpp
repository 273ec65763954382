// Fuzz target: any date text, and any integer arguments of the Date
// setters, must end in a Date or in one of the Date errors; never a crash,
// a read outside the text or undefined behaviour in the time arithmetic.
// The zone has daylight saving time, so compositions cross changes of offset.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "builtins/date_fields.h"
#include "builtins/method_table.h"
#include "core/areas.h"
#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "host/process_state.h"
#include "parser/module_table.h"
#include "platform/platform.h"

namespace {

constexpr const char* SETTERS[] = {"setFullYear", "setMonth",   "setDate", "setHours",
                                   "setMinutes",  "setSeconds", "setMilliseconds", "setTime"};
constexpr uint32_t MOST_ARGUMENTS[] = {3, 2, 1, 4, 3, 2, 1, 1};

int32_t read_int(const uint8_t*& data, size_t& size) {
    uint32_t n = 0;
    for (int i = 0; i < 4 && size > 0; ++i, --size) n = n << 8 | *data++;
    return static_cast<int32_t>(n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kova;
    static bool ready = false;
    if (!ready) {
        platform::env_set("TZ", "America/New_York");
        ready = true;
    }
    reset_process_state();
    module_add("fuzz.js", 7);
    areas_enter_run_mode();
    if (size == 0) return 0;
    const uint8_t mode = *data++;
    --size;
    try {
        if ((mode & 1) == 0) {
            date_parse_text(reinterpret_cast<const char*>(data), size);
            return 0;
        }
        // A Date somewhere in its range, then one setter with integer arguments.
        const uint32_t start = static_cast<uint32_t>(read_int(data, size));
        const Value date = date_new(start, 0);
        retain(date);
        const uint32_t setter = (mode >> 1) % 8;
        const uint32_t count = 1 + (mode >> 4) % MOST_ARGUMENTS[setter];
        Value arguments[4];
        for (uint32_t i = 0; i < count; ++i) arguments[i] = new_integer(read_int(data, size));
        const char* name = SETTERS[setter];
        call_method(DATE_METHODS, intern(name, std::strlen(name)), date, arguments, count);
        date_form_text(date, DATE_FORM_FULL);
    } catch (const ScriptUnwind&) {
    }
    return 0;
}
