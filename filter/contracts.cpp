#include "contracts.h"

#include <sys/wait.h>

int exit_status_of(Raster_Result result) {
    switch (result) {
    case Raster_Result::RASTERIZED:
        return EXIT_DONE;
    case Raster_Result::RETRY:
        return EXIT_RETRY;
    case Raster_Result::JOB_FAILED:
        break;
    }
    return EXIT_JOB_FAILED;
}

Raster_Result raster_result_of(int wait_status) {
    if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == EXIT_DONE)
        return Raster_Result::RASTERIZED;
    if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == EXIT_RETRY)
        return Raster_Result::RETRY;
    return Raster_Result::JOB_FAILED;
}
