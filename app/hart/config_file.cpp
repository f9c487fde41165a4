#include "hart/config_file.h"

#include "hart/strings.h"

#include <bit>

namespace {

// Little-endian writer over the fixed image.
class ImageWriter {
  public:
    explicit ImageWriter(ConfigFileImage& image) : m_image(image) {}
    void Byte(std::uint8_t value) { m_image[m_pos++] = value; }
    void U16(std::uint16_t value) {
        Byte(static_cast<std::uint8_t>(value));
        Byte(static_cast<std::uint8_t>(value >> 8));
    }
    void U32(std::uint32_t value) {
        U16(static_cast<std::uint16_t>(value));
        U16(static_cast<std::uint16_t>(value >> 16));
    }
    void Int(std::int32_t value) { U32(static_cast<std::uint32_t>(value)); }
    void Float(float value) { U32(std::bit_cast<std::uint32_t>(value)); }

  private:
    ConfigFileImage& m_image;
    std::size_t m_pos = 0;
};

// Little-endian reader that fails, rather than reads, past the end of the input.
class ImageReader {
  public:
    explicit ImageReader(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}
    bool Byte(std::uint8_t& value) {
        if (m_pos >= m_bytes.size()) return false;
        value = m_bytes[m_pos++];
        return true;
    }
    bool U16(std::uint16_t& value) {
        std::uint8_t lo = 0, hi = 0;
        if (!Byte(lo) || !Byte(hi)) return false;
        value = static_cast<std::uint16_t>(lo | (hi << 8));
        return true;
    }
    bool U32(std::uint32_t& value) {
        std::uint16_t lo = 0, hi = 0;
        if (!U16(lo) || !U16(hi)) return false;
        value = static_cast<std::uint32_t>(lo) | (static_cast<std::uint32_t>(hi) << 16);
        return true;
    }
    bool Int(std::int32_t& value) {
        std::uint32_t raw = 0;
        if (!U32(raw)) return false;
        value = static_cast<std::int32_t>(raw);
        return true;
    }
    bool Float(float& value) {
        std::uint32_t raw = 0;
        if (!U32(raw)) return false;
        value = std::bit_cast<float>(raw);
        return true;
    }

  private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_pos = 0;
};

bool ReadFields(ImageReader& in, StoredConfiguration& c) {
    for (char16_t& unit : c.tag) {
        std::uint16_t raw = 0;
        if (!in.U16(raw)) return false;
        unit = static_cast<char16_t>(raw);
    }
    return in.Int(c.sensorType) && in.Int(c.sensorConnection) && in.Int(c.rangeUnits) &&
           in.Float(c.lowerRange) && in.Float(c.upperRange) && in.Float(c.damping) && in.Int(c.alarmType) &&
           in.Float(c.lowAlarm) && in.Float(c.highAlarm) && in.Float(c.lowSaturation) &&
           in.Float(c.highSaturation) && in.Int(c.filter) && in.Int(c.writeProtect) &&
           in.Byte(c.armatureLetter) && in.Byte(c.armatureNumber) && in.Int(c.head) && in.Int(c.cableEntry) &&
           in.Int(c.execution) && in.Int(c.mountingLength) && in.Byte(c.assemblyDay) &&
           in.Byte(c.assemblyMonth) && in.Byte(c.assemblyYear) && in.Int(c.thermometerSerial);
}

// The codes the device operations send as one byte must fit one: a larger value would be cut to a
// different, valid-looking code on the way to the transmitter.
bool CodesFitTheirByte(const StoredConfiguration& c) {
    for (std::int32_t code :
         {c.sensorType, c.sensorConnection, c.rangeUnits, c.alarmType, c.filter, c.writeProtect})
        if (code < 0 || code > 255) return false;
    return true;
}

ConfigLoadResult Failure(ConfigLoadStatus status, std::vector<FileMessage> messages) {
    ConfigLoadResult result;
    result.status = status;
    result.messages = std::move(messages);
    return result;
}

} // namespace

FileMessage FileMessageOf(int stringId) {
    return {stringId, zelhart::hart::LoadString(stringId)};
}

ConfigFileImage SerializeConfiguration(const StoredConfiguration& c) {
    ConfigFileImage image{};
    ImageWriter out(image);
    out.U32(kConfigFileMagic);
    out.Int(kConfigFileVersion);
    for (char16_t unit : c.tag)
        out.U16(static_cast<std::uint16_t>(unit));
    out.Int(c.sensorType);
    out.Int(c.sensorConnection);
    out.Int(c.rangeUnits);
    out.Float(c.lowerRange);
    out.Float(c.upperRange);
    out.Float(c.damping);
    out.Int(c.alarmType);
    out.Float(c.lowAlarm);
    out.Float(c.highAlarm);
    out.Float(c.lowSaturation);
    out.Float(c.highSaturation);
    out.Int(c.filter);
    out.Int(c.writeProtect);
    out.Byte(c.armatureLetter);
    out.Byte(c.armatureNumber);
    out.Int(c.head);
    out.Int(c.cableEntry);
    out.Int(c.execution);
    out.Int(c.mountingLength);
    out.Byte(c.assemblyDay);
    out.Byte(c.assemblyMonth);
    out.Byte(c.assemblyYear);
    out.Int(c.thermometerSerial);
    return image;
}

ConfigLoadResult ParseConfiguration(std::span<const std::uint8_t> bytes) {
    ImageReader in(bytes);
    std::uint32_t magic = 0;
    if (!in.U32(magic) || magic != kConfigFileMagic)
        return Failure(ConfigLoadStatus::UnexpectedFormat,
                       {FileMessageOf(zelhart::hart::str::kUnexpectedFileFormat)});
    std::int32_t version = 0;
    if (!in.Int(version))
        return Failure(ConfigLoadStatus::UnexpectedFormat,
                       {FileMessageOf(zelhart::hart::str::kUnexpectedFileFormat)});
    if (version != kConfigFileVersion)
        return Failure(ConfigLoadStatus::IncompatibleVersion,
                       {FileMessageOf(zelhart::hart::str::kFileVersionIncompatible),
                        FileMessageOf(zelhart::hart::str::kFailedToOpenDocument)});
    ConfigLoadResult result;
    if (!ReadFields(in, result.configuration) || !CodesFitTheirByte(result.configuration))
        return Failure(ConfigLoadStatus::UnexpectedFormat,
                       {FileMessageOf(zelhart::hart::str::kUnexpectedFileFormat)});
    result.status = ConfigLoadStatus::Ok;
    return result;
}

ConfigLoadResult LoadConfiguration(CTransmitterModel& model, std::span<const std::uint8_t> bytes) {
    ConfigLoadResult result = ParseConfiguration(bytes);
    if (result.ok()) model.ApplyStoredConfiguration(result.configuration);
    return result;
}
