// The library boundary: no C++ exception ever reaches a caller. Each export runs
// its body through call_guarded, which turns an escaping exception (in practice
// only std::bad_alloc) into the export's failure answer, with an E line that
// names the export.
#ifndef KESTRUNE_CORE_BOUNDARY_H
#define KESTRUNE_CORE_BOUNDARY_H

#include <exception>

#include "core/log.h"

namespace kestrune {

// `exportName` is the export's own name (its __func__). The line is written with
// log_printf, which allocates nothing of ours: memory may be what ran out.
template <typename Result, typename Body>
Result call_guarded(const char *exportName, Result failure, Body body) noexcept
{
    try {
        return body();
    } catch (const std::exception &error) {
        log_printf("E KestruneCtl %s %d: caught exception: %s\r\n", exportName, __LINE__, error.what());
    } catch (...) {
        log_printf("E KestruneCtl %s %d: caught unknown exception\r\n", exportName, __LINE__);
    }
    return failure;
}

} // namespace kestrune

#endif
