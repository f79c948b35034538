#include "platform/gpo_files/registry_pol.h"

namespace kestrune::platform {

namespace {

constexpr uint8_t kSignature[4] = {'P', 'R', 'e', 'g'};
constexpr uint32_t kVersion = 1;

class Reader {
public:
    explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool at_end() const { return pos_ == bytes_.size(); }

    bool u16(char16_t &out)
    {
        if (bytes_.size() - pos_ < 2)
            return false;
        out = static_cast<char16_t>(bytes_[pos_] | (bytes_[pos_ + 1] << 8));
        pos_ += 2;
        return true;
    }

    bool expect(char16_t wanted)
    {
        char16_t c = 0;
        return u16(c) && c == wanted;
    }

    bool u32(uint32_t &out)
    {
        if (bytes_.size() - pos_ < 4)
            return false;
        out = static_cast<uint32_t>(bytes_[pos_]) | static_cast<uint32_t>(bytes_[pos_ + 1]) << 8 |
              static_cast<uint32_t>(bytes_[pos_ + 2]) << 16 | static_cast<uint32_t>(bytes_[pos_ + 3]) << 24;
        pos_ += 4;
        return true;
    }

    // A zero-terminated UTF-16LE text; the zero is consumed.
    bool text(std::u16string &out)
    {
        for (char16_t c = 0;;) {
            if (!u16(c))
                return false;
            if (c == u'\0')
                return true;
            out += c;
        }
    }

    bool raw(size_t count, std::vector<uint8_t> &out)
    {
        if (bytes_.size() - pos_ < count)
            return false;
        out.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_),
                   bytes_.begin() + static_cast<std::ptrdiff_t>(pos_ + count));
        pos_ += count;
        return true;
    }

private:
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
};

void put_u16(std::vector<uint8_t> &out, char16_t c)
{
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
}

void put_u32(std::vector<uint8_t> &out, uint32_t v)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

void put_text(std::vector<uint8_t> &out, const std::u16string &text)
{
    for (char16_t c : text)
        put_u16(out, c);
    put_u16(out, u'\0');
}

// A record breaks the registry's limits when its key or value could not exist in
// a registry: such a file is refused like a malformed one.
bool within_limits(const PolRecord &record, const RegNode &root)
{
    return key_path_fits(root, record.key) && value_fits(record.value, record.data.size());
}

} // namespace

std::optional<std::vector<PolRecord>> parse_registry_pol(std::span<const uint8_t> bytes)
{
    const RegNode root(u"");
    std::vector<PolRecord> records;
    if (bytes.empty())
        return records;
    if (bytes.size() < 8 || !std::equal(std::begin(kSignature), std::end(kSignature), bytes.begin()))
        return std::nullopt;
    Reader reader(bytes.subspan(4));
    uint32_t version = 0;
    if (!reader.u32(version) || version != kVersion)
        return std::nullopt;
    while (!reader.at_end()) {
        PolRecord record;
        uint32_t size = 0;
        if (!reader.expect(u'[') || !reader.text(record.key) || !reader.expect(u';') ||
            !reader.text(record.value) || !reader.expect(u';') || !reader.u32(record.type) ||
            !reader.expect(u';') || !reader.u32(size) || !reader.expect(u';') || !reader.raw(size, record.data) ||
            !reader.expect(u']') || !within_limits(record, root))
            return std::nullopt;
        records.push_back(std::move(record));
    }
    return records;
}

std::vector<uint8_t> serialize_registry_pol(const std::vector<PolRecord> &records)
{
    std::vector<uint8_t> out(std::begin(kSignature), std::end(kSignature));
    put_u32(out, kVersion);
    for (const PolRecord &record : records) {
        put_u16(out, u'[');
        put_text(out, record.key);
        put_u16(out, u';');
        put_text(out, record.value);
        put_u16(out, u';');
        put_u32(out, record.type);
        put_u16(out, u';');
        put_u32(out, static_cast<uint32_t>(record.data.size()));
        put_u16(out, u';');
        out.insert(out.end(), record.data.begin(), record.data.end());
        put_u16(out, u']');
    }
    return out;
}

// Depth-first without recursion; the path grows and shrinks by one name per
// level instead of being copied at every level.
std::vector<PolRecord> records_of_tree(const RegNode &root)
{
    std::vector<PolRecord> records;
    std::u16string path;
    struct Level {
        NamedList<RegNode>::const_iterator next, end;
        size_t pathLength; // of the parent's path, restored when the level is done
    };
    std::vector<Level> levels;
    auto enter = [&](const RegNode &node, size_t parentPathLength) {
        if (node.values().empty() && node.had_key_only_record())
            records.push_back(PolRecord{path, u"", kRegNoneType, {}});
        for (const RegValue &value : node.values())
            records.push_back(PolRecord{path, value.name, value.type, value.data});
        levels.push_back(Level{node.subkeys().begin(), node.subkeys().end(), parentPathLength});
    };
    enter(root, 0);
    while (!levels.empty()) {
        Level &level = levels.back();
        if (level.next == level.end) {
            path.resize(level.pathLength);
            levels.pop_back();
            continue;
        }
        const RegNode &subkey = *level.next;
        ++level.next;
        const size_t parentPathLength = path.size();
        if (levels.size() > 1)
            path += u'\\';
        path += subkey.name();
        enter(subkey, parentPathLength);
    }
    return records;
}

bool is_key_only(const PolRecord &record)
{
    return record.value.empty() && record.type == kRegNoneType && record.data.empty();
}

void load_records(RegNode &root, const std::vector<PolRecord> &records)
{
    for (const PolRecord &record : records) {
        RegNode &key = create_key(root, record.key);
        if (is_key_only(record))
            key.mark_key_only_record();
        else
            key.set_value(record.value, record.type, record.data);
    }
}

} // namespace kestrune::platform
