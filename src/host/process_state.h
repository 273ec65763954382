// Every process-wide structure back to its start: what a run begins with,
// and what fuzz targets and benchmarks reset between inputs.
#pragma once

namespace kova {

void reset_process_state();

}  // namespace kova
