// The library boundary: no C++ exception ever reaches a caller. Each export runs
// its body through call_guarded, which turns an escaping exception (in practice
// only std::bad_alloc) into the export's failure answer.
#ifndef KESTRUNE_CORE_BOUNDARY_H
#define KESTRUNE_CORE_BOUNDARY_H

namespace kestrune {

template <typename Result, typename Body>
Result call_guarded(Result failure, Body body) noexcept
{
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

} // namespace kestrune

#endif
