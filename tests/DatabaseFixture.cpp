#include "DatabaseFixture.h"

#include <cstring>

#include <lz4.h>
#include <zlib.h>

namespace test {
namespace {

void PutU32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

void PutU16(std::string& out, std::uint16_t value) {
    out.push_back(static_cast<char>(value));
    out.push_back(static_cast<char>(value >> 8));
}

std::uint32_t Adler(const std::string& bytes) {
    return static_cast<std::uint32_t>(
        adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

}  // namespace

std::uint32_t DatabaseFixture::String(const std::string& text) {
    const auto found = ids.find(text);
    if (found != ids.end()) return found->second;
    AppendString(text);
    return static_cast<std::uint32_t>(strings.size() - 1);
}

std::string DatabaseFixture::Field(std::uint16_t type, const std::string& name,
                                   const std::vector<std::uint32_t>& cells) {
    std::string field;
    PutU16(field, type);
    PutU16(field, static_cast<std::uint16_t>(cells.size()));
    PutU32(field, String(name));
    for (std::uint32_t cell : cells) PutU32(field, cell);
    return field;
}

std::string DatabaseFixture::Ints(const std::string& name, const std::vector<std::int32_t>& values) {
    return Field(0, name, std::vector<std::uint32_t>(values.begin(), values.end()));
}

std::string DatabaseFixture::Floats(const std::string& name, const std::vector<float>& values) {
    std::vector<std::uint32_t> cells;
    for (float v : values) {
        std::uint32_t cell;
        std::memcpy(&cell, &v, 4);
        cells.push_back(cell);
    }
    return Field(1, name, cells);
}

std::string DatabaseFixture::Texts(const std::string& name, const std::vector<std::string>& values) {
    std::vector<std::uint32_t> cells;
    for (const std::string& v : values) cells.push_back(String(v));
    return Field(2, name, cells);
}

std::string DatabaseFixture::Bools(const std::string& name, const std::vector<std::uint32_t>& values) {
    return Field(3, name, values);
}

void DatabaseFixture::AddRecord(const std::string& name, const std::string& payload, const std::string& recordType) {
    AddRecordById(String(name), payload, recordType);
}

void DatabaseFixture::AddRecordById(std::uint32_t nameId, const std::string& payload, const std::string& recordType) {
    records.push_back(Record{nameId, payload, recordType});
}

std::string DatabaseFixture::Bytes(bool compressed, bool checksums, std::uint16_t version) const {
    std::string data, index, table;
    for (const Record& record : records) {
        std::string stored = record.payload;
        if (compressed) {
            std::string packed(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(stored.size()))), '\0');
            const int n = LZ4_compress_default(stored.data(), packed.data(), static_cast<int>(stored.size()),
                                               static_cast<int>(packed.size()));
            stored = packed.substr(0, static_cast<std::size_t>(n));
        }
        PutU32(index, record.nameId);
        PutU32(index, static_cast<std::uint32_t>(record.recordType.size()));
        index += record.recordType;
        PutU32(index, static_cast<std::uint32_t>(data.size()));
        PutU32(index, static_cast<std::uint32_t>(stored.size()));
        PutU32(index, static_cast<std::uint32_t>(record.payload.size()));
        PutU32(index, 0xABCD0001);
        PutU32(index, 0xABCD0002);
        data += stored;
    }
    PutU32(table, static_cast<std::uint32_t>(strings.size()));
    for (const std::string& s : strings) {
        PutU32(table, static_cast<std::uint32_t>(s.size()));
        table += s;
    }
    std::string header;
    PutU16(header, version);
    PutU16(header, static_cast<std::uint16_t>((compressed ? 1 : 0) | (checksums ? 2 : 0)));
    const std::uint32_t indexOffset = 24 + static_cast<std::uint32_t>(data.size());
    PutU32(header, indexOffset);
    PutU32(header, static_cast<std::uint32_t>(index.size()));
    PutU32(header, static_cast<std::uint32_t>(records.size()));
    PutU32(header, indexOffset + static_cast<std::uint32_t>(index.size()));
    PutU32(header, static_cast<std::uint32_t>(table.size()));
    std::string file = header + data + index + table;
    if (checksums) {
        std::string trailer;
        PutU32(trailer, Adler(file));
        PutU32(trailer, Adler(table));
        PutU32(trailer, Adler(data));
        PutU32(trailer, Adler(index));
        file += trailer;
    }
    return file;
}

}  // namespace test
