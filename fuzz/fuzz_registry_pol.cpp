// Registry.pol reader. Any file it accepts must come back from the policy
// object exactly as the registry would hold it:
//
// - the codec alone writes the parsed records back byte for byte;
// - loaded into a key tree and saved, the file comes back byte for byte when the
//   registry merges none of its records; where it does merge (a value named
//   twice, a key path spelled in another letter case or with empty components,
//   records of one key apart from each other, a key-only record of a key that has
//   values), it comes back as the independent model below merges it, and saving
//   that again changes nothing;
// - applying its directives never fails.
//
// The model shares no code with the tree: it merges records by their folded key
// paths and value names and orders keys by the creation order of each level.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/gpo_files/policy_apply.h"
#include "platform/gpo_files/registry_pol.h"

using namespace kestrune::platform;

namespace {

std::u16string folded(std::u16string text)
{
    for (char16_t &c : text)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    return text;
}

struct ModelKey {
    std::u16string path;            // as first spelled, empty components dropped
    std::vector<size_t> createdAt;  // creation number of each level, for the order
    bool keyOnly = false;
    std::vector<PolRecord> values;  // in first-set order
    std::map<std::u16string, size_t> valueAt; // folded name -> index in values
};

std::vector<PolRecord> model_of(const std::vector<PolRecord> &records)
{
    std::map<std::u16string, ModelKey> keys; // by folded path
    keys[u""];
    size_t created = 0;
    for (const PolRecord &record : records) {
        std::u16string foldedPath;
        ModelKey *key = &keys[u""];
        size_t start = 0;
        while (start <= record.key.size()) {
            size_t end = record.key.find(u'\\', start);
            if (end == std::u16string::npos)
                end = record.key.size();
            if (end > start) {
                const std::u16string name = record.key.substr(start, end - start);
                const ModelKey &parent = *key;
                foldedPath += u'\\' + folded(name);
                auto [at, inserted] = keys.try_emplace(foldedPath);
                if (inserted) {
                    at->second.path = parent.path.empty() ? name : parent.path + u'\\' + name;
                    at->second.createdAt = parent.createdAt;
                    at->second.createdAt.push_back(created++);
                }
                key = &at->second;
            }
            start = end + 1;
        }
        if (record.value.empty() && record.type == 0 && record.data.empty()) {
            key->keyOnly = true;
            continue;
        }
        auto [at, inserted] = key->valueAt.try_emplace(folded(record.value), key->values.size());
        if (inserted)
            key->values.push_back(PolRecord{key->path, record.value, record.type, record.data});
        else
            key->values[at->second].type = record.type, key->values[at->second].data = record.data;
    }
    // Depth-first in creation order: by the creation numbers of the path's levels.
    std::map<std::vector<size_t>, const ModelKey *> ordered;
    for (const auto &[path, key] : keys)
        ordered.emplace(key.createdAt, &key);
    std::vector<PolRecord> out;
    for (const auto &[order, key] : ordered) {
        if (key->values.empty() && key->keyOnly)
            out.push_back(PolRecord{key->path, u"", 0, {}});
        out.insert(out.end(), key->values.begin(), key->values.end());
    }
    return out;
}

std::vector<uint8_t> saved(const std::vector<PolRecord> &records)
{
    RegNode root(u"");
    load_records(root, records);
    return serialize_registry_pol(records_of_tree(root));
}

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<uint8_t> file(data, data + size);
    auto records = parse_registry_pol(file);
    if (!records)
        return 0;
    const std::vector<uint8_t> asParsed = serialize_registry_pol(*records);
    check(file.empty() || asParsed == file);

    const std::vector<uint8_t> once = saved(*records);
    check(once == serialize_registry_pol(model_of(*records)));
    auto reread = parse_registry_pol(once);
    check(reread.has_value() && saved(*reread) == once);

    RegNode effective(u"");
    apply_policy_records(effective, *records);
    check(parse_registry_pol(serialize_registry_pol(records_of_tree(effective))).has_value());
    return 0;
}
