// The benchmarks' baseline for the cost of confinement: Ghostscript run through system(), as
// the filter ran it before it was confined. Only a build whose configuration says so runs it.
#include "child.h"
#include "rasterizer.h"

#include <cstdlib>

Raster_Result run_unconfined(const Rasterizer_Task &task, int *exit_status) {
    if (exit_status != nullptr) *exit_status = -1;
    if (task.command == nullptr) return Raster_Result::RETRY;
    const int status = system(task.command);
    if (status != -1 && exit_status != nullptr) *exit_status = exit_code_of(status);
    return status != -1 && exit_code_of(status) == 0 ? Raster_Result::RASTERIZED
                                                     : Raster_Result::JOB_FAILED;
}
