// Load and save times of the policy file, by number of records.
//
// Load is what Initialize does with Registry.pol (parse the bytes, build the key
// tree); save is what Apply does before writing (collect the tree's records,
// serialise them); apply is the effective policy of a refresh (apply the records
// to an empty tree, collect it). Three shapes: every value under one key (a long
// deny list), every value under a key of its own below one parent (many sibling
// keys), and ten values to a key spread over a hundred parents. No file system
// and no root needed; best of three runs, in milliseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/gpo_files/policy_apply.h"
#include "platform/gpo_files/registry_pol.h"
#include "platform/registry.h"

using namespace kestrune::platform;

namespace {

std::u16string text(const std::string &ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

std::vector<PolRecord> records(const char *shape, size_t count)
{
    const std::u16string base = u"Software\\Policies\\Kestrune\\Bench";
    std::vector<PolRecord> out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        std::u16string key = base, value = text(std::to_string(i));
        if (shape[0] == 'k') // sibling keys
            key += u"\\Key" + value;
        else if (shape[0] == 'm') // mixed: in file order, as a tool writes them
            key += u"\\Group" + text(std::to_string(i * 100 / count)) + u"\\Key" + text(std::to_string(i / 10));
        out.push_back(PolRecord{key, value, kRegDword, {1, 0, 0, 0}});
    }
    return out;
}

double best_ms(const std::function<void()> &run)
{
    double best = 1e300;
    for (int round = 0; round < 3; ++round) {
        auto start = std::chrono::steady_clock::now();
        run();
        std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

} // namespace

int main()
{
    std::printf("%-14s %8s %10s %10s %10s %9s\n", "shape", "records", "load ms", "save ms", "apply ms", "file KB");
    for (const char *shape : {"one key", "sibling keys", "mixed"}) {
        for (size_t count : {size_t{1000}, size_t{10000}, size_t{100000}}) {
            const std::vector<uint8_t> file = serialize_registry_pol(records(shape, count));
            RegNode loaded(u"");
            load_records(loaded, *parse_registry_pol(file));
            const double load = best_ms([&] {
                RegNode tree(u"");
                load_records(tree, *parse_registry_pol(file));
            });
            size_t saved = 0;
            const double save = best_ms([&] { saved = serialize_registry_pol(records_of_tree(loaded)).size(); });
            const double apply = best_ms([&] {
                RegNode effective(u"");
                apply_policy_records(effective, *parse_registry_pol(file));
                records_of_tree(effective);
            });
            if (saved != file.size()) { // the file is in tree order: it must come back whole
                std::fprintf(stderr, "policy_file_bench: %s, %zu records: saved %zu bytes of %zu\n", shape, count,
                             saved, file.size());
                return 1;
            }
            std::printf("%-14s %8zu %10.1f %10.1f %10.1f %9zu\n", shape, count, load, save, apply, file.size() / 1024);
        }
    }
    return 0;
}
