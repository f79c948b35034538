// A fresh directory under /tmp for one test, removed with everything in it when
// the object goes away. ScratchRoot also points KESTRUNE_ROOT at it, so that the
// policy object lives there and nowhere else.
#ifndef KESTRUNE_TESTS_SCRATCH_DIR_H
#define KESTRUNE_TESTS_SCRATCH_DIR_H

#include <string>

namespace kestrune::test {

class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

class ScratchRoot : public ScratchDir {
public:
    ScratchRoot();
    ~ScratchRoot();

    std::string registry_pol() const { return *this / "GroupPolicy/Machine/Registry.pol"; }
    std::string machine_pol() const { return *this / "Policies/Machine.pol"; }
    std::string gpt_ini() const { return *this / "GroupPolicy/gpt.ini"; }
};

// Whole files as bytes; write_file creates the missing folders.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

} // namespace kestrune::test

#endif
