// Writes database files byte by byte for tests, independently of the database reader.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace test {

class DatabaseFixture {
public:
    /// The id of `text` in the string table, adding it when new.
    std::uint32_t String(const std::string& text);

    /// Appends `text` to the string table even when it is there already.
    void AppendString(const std::string& text) {
        ids.emplace(text, static_cast<std::uint32_t>(strings.size()));
        strings.push_back(text);
    }

    /// One field of a payload: the type, the name's id and the 4-byte cells.
    std::string Field(std::uint16_t type, const std::string& name, const std::vector<std::uint32_t>& cells);
    std::string Ints(const std::string& name, const std::vector<std::int32_t>& values);
    std::string Floats(const std::string& name, const std::vector<float>& values);
    std::string Texts(const std::string& name, const std::vector<std::string>& values);
    std::string Bools(const std::string& name, const std::vector<std::uint32_t>& values);

    /// A record under `name` with the given payload.
    void AddRecord(const std::string& name, const std::string& payload, const std::string& recordType = "");

    /// A record under a raw name id.
    void AddRecordById(std::uint32_t nameId, const std::string& payload, const std::string& recordType = "");

    /// The file's bytes: records LZ4-compressed or not, with or without the checksum trailer.
    std::string Bytes(bool compressed, bool checksums, std::uint16_t version = 2) const;

private:
    struct Record {
        std::uint32_t nameId;
        std::string payload;
        std::string recordType;
    };
    std::vector<std::string> strings;
    std::unordered_map<std::string, std::uint32_t> ids;  // first position of each text
    std::vector<Record> records;
};

}  // namespace test
