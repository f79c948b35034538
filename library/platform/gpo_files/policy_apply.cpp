#include "platform/gpo_files/policy_apply.h"

#include <string_view>

namespace kestrune::platform {

namespace {

bool starts_with(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && names_equal(text.substr(0, prefix.size()), prefix);
}

// The REG_SZ data of a directive as text: UTF-16LE up to the first zero.
std::u16string data_text(const std::vector<uint8_t> &data)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        auto c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == u'\0')
            break;
        text += c;
    }
    return text;
}

template <typename Action>
void for_each_listed(const std::vector<uint8_t> &data, Action action)
{
    std::u16string list = data_text(data);
    std::u16string_view rest(list);
    while (!rest.empty()) {
        size_t end = rest.find(u';');
        std::u16string_view item = rest.substr(0, end);
        if (!item.empty())
            action(item);
        if (end == std::u16string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
}

// Deletes the key at `path` (which may name several levels) below `key`.
void delete_key_path(RegNode &key, std::u16string_view path)
{
    size_t cut = path.rfind(u'\\');
    RegNode *parent = cut == std::u16string_view::npos ? &key : find_key(key, path.substr(0, cut));
    if (parent != nullptr)
        parent->delete_subkey(cut == std::u16string_view::npos ? path : path.substr(cut + 1));
}

void apply_one(RegNode &root, const PolRecord &record)
{
    RegNode &key = create_key(root, record.key);
    std::u16string_view name = record.value;
    if (is_key_only(record))
        return;
    if (!starts_with(name, u"**")) {
        key.set_value(name, record.type, record.data);
    } else if (names_equal(name, u"**delvals.")) {
        key.clear_values();
    } else if (starts_with(name, u"**del.")) {
        key.delete_value(name.substr(6));
    } else if (names_equal(name, u"**DeleteValues")) {
        for_each_listed(record.data, [&](std::u16string_view item) { key.delete_value(item); });
    } else if (names_equal(name, u"**DeleteKeys")) {
        for_each_listed(record.data, [&](std::u16string_view item) { delete_key_path(key, item); });
    } else if (starts_with(name, u"**soft.")) {
        if (key.find_value(name.substr(7)) == nullptr)
            key.set_value(name.substr(7), record.type, record.data);
    }
}

} // namespace

void apply_policy_records(RegNode &root, const std::vector<PolRecord> &records)
{
    for (const PolRecord &record : records)
        apply_one(root, record);
}

void apply_machine_policy(RegNode &root, const std::vector<PolRecord> &local,
                          const std::vector<PolRecord> &domain)
{
    apply_policy_records(root, local);
    apply_policy_records(root, domain);
}

} // namespace kestrune::platform
