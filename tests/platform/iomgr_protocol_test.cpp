#include "zelhart/platform/iomgr_protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string_view>

using namespace zelhart::platform;
using namespace zelhart::platform::iomgr;

namespace {

std::span<const uint8_t> Bytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}
std::string Text(std::span<const uint8_t> b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// The payload view points into the packet: the packet must outlive the message.
Message MustDecode(const std::vector<uint8_t>&&, Sender) = delete;
Message MustDecode(const std::vector<uint8_t>& packet, Sender from) {
    Message m;
    DecodeError e = Decode(packet, from, &m);
    EXPECT_EQ(e, DecodeError::None) << DecodeErrorText(e);
    return m;
}

DecodeError DecodeRaw(const std::vector<uint8_t>& packet, Sender from = Sender::Client) {
    Message m;
    return Decode(packet, from, &m);
}

void SetHeaderSize(std::vector<uint8_t>& packet, uint32_t size) {
    std::memcpy(packet.data(), &size, 4);
}

template <class Record> void Patch(std::vector<uint8_t>& packet, const Record& r) {
    std::memcpy(packet.data() + sizeof(MessageHeader), &r, sizeof(r));
}

const Guid kInterface = *ParseGuid("{DD2540C5-808A-4461-89FE-9CCE766B8E77}");

} // namespace

TEST(IomgrProtocol, EveryMessageRoundTrips) {
    {
        auto packet = Encode(HelloRecord{kProtocolMagic, kProtocolVersion, 0});
        auto m = MustDecode(packet, Sender::Client);
        ASSERT_EQ(m.type(), MessageType::Hello);
        EXPECT_EQ(std::get<HelloRecord>(m.record).version, kProtocolVersion);
    }
    {
        auto packet = Encode(HelloReplyRecord{kProtocolMagic, 1, 0, STATUS_REVISION_MISMATCH});
        auto m = MustDecode(packet, Sender::Daemon);
        ASSERT_EQ(m.type(), MessageType::HelloReply);
        EXPECT_EQ(std::get<HelloReplyRecord>(m.record).status, STATUS_REVISION_MISMATCH);
    }
    {
        std::string name = "{76F2EE18-E6E6-437e-A495-DDAD2DA743EA}_HART3";
        auto packet = Encode(CreateRecord{7, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                          static_cast<uint32_t>(name.size())},
                             Bytes(name));
        auto m = MustDecode(packet, Sender::Client);
        ASSERT_EQ(m.type(), MessageType::Create);
        const auto& r = std::get<CreateRecord>(m.record);
        EXPECT_EQ(r.requestId, 7u);
        EXPECT_EQ(r.desiredAccess, GENERIC_READ | GENERIC_WRITE);
        EXPECT_EQ(r.shareAccess, FILE_SHARE_READ);
        EXPECT_EQ(Text(m.payload), name);
    }
    {
        auto packet = Encode(ReadRecord{8, 284});
        auto m = MustDecode(packet, Sender::Client);
        ASSERT_EQ(m.type(), MessageType::Read);
        EXPECT_EQ(std::get<ReadRecord>(m.record).length, 284u);
    }
    {
        auto packet = Encode(WriteRecord{9, 3}, Bytes("\xFF\x02\x80"));
        auto m = MustDecode(packet, Sender::Client);
        ASSERT_EQ(m.type(), MessageType::Write);
        EXPECT_EQ(Text(m.payload), "\xFF\x02\x80");
    }
    {
        auto packet = Encode(DeviceControlRecord{10, 0x9C400E50, 1, 1, kNoHandle}, Bytes("\x02"));
        auto m = MustDecode(packet, Sender::Client);
        ASSERT_EQ(m.type(), MessageType::DeviceControl);
        const auto& r = std::get<DeviceControlRecord>(m.record);
        EXPECT_EQ(r.ioControlCode, 0x9C400E50u);
        EXPECT_EQ(r.outputLength, 1u);
        EXPECT_EQ(r.handleValue, kNoHandle);
        EXPECT_EQ(Text(m.payload), "\x02");
    }
    {
        auto packet = Encode(CancelRecord{0});
        auto m = MustDecode(packet, Sender::Client);
        ASSERT_EQ(m.type(), MessageType::Cancel);
        EXPECT_EQ(std::get<CancelRecord>(m.record).requestId, 0u);
    }
    {
        auto packet = Encode(LookupInterfaceRecord{11, kInterface, 2});
        auto m = MustDecode(packet, Sender::Client);
        ASSERT_EQ(m.type(), MessageType::LookupInterface);
        EXPECT_EQ(std::get<LookupInterfaceRecord>(m.record).interfaceClass, kInterface);
        EXPECT_EQ(std::get<LookupInterfaceRecord>(m.record).index, 2u);
    }
    {
        auto packet = Encode(CompleteRecord{12, STATUS_CRC_ERROR, 2, 2}, Bytes("\x06\x80"));
        auto m = MustDecode(packet, Sender::Daemon);
        ASSERT_EQ(m.type(), MessageType::Complete);
        const auto& r = std::get<CompleteRecord>(m.record);
        EXPECT_EQ(r.status, STATUS_CRC_ERROR);
        EXPECT_EQ(r.information, 2u);
        EXPECT_EQ(Text(m.payload), "\x06\x80");
    }
}

TEST(IomgrProtocol, LargestMessagesFitTheBound) {
    std::vector<uint8_t> big(kMaxTransferLength, 0xAB);
    EXPECT_EQ(
        DecodeRaw(Encode(DeviceControlRecord{1, 1, kMaxTransferLength, kMaxTransferLength, kNoHandle}, big)),
        DecodeError::None);
    EXPECT_EQ(
        DecodeRaw(Encode(CompleteRecord{1, 0, kMaxTransferLength, kMaxTransferLength}, big), Sender::Daemon),
        DecodeError::None);
    std::string name(kMaxObjectNameLength, 'n');
    EXPECT_EQ(DecodeRaw(Encode(CreateRecord{1, 0, 0, kMaxObjectNameLength}, Bytes(name))), DecodeError::None);
}

TEST(IomgrProtocol, MalformedPacketsAreNamed) {
    auto read = Encode(ReadRecord{1, 10});
    EXPECT_EQ(DecodeRaw({}), DecodeError::TooShort);
    EXPECT_EQ(DecodeRaw(std::vector<uint8_t>(read.begin(), read.begin() + 7)), DecodeError::TooShort);

    auto shortBody = read;
    shortBody.resize(sizeof(MessageHeader) + 4);
    SetHeaderSize(shortBody, static_cast<uint32_t>(shortBody.size()));
    EXPECT_EQ(DecodeRaw(shortBody), DecodeError::TooShort);

    auto lying = read;
    SetHeaderSize(lying, 4000);
    EXPECT_EQ(DecodeRaw(lying), DecodeError::SizeMismatch);

    std::vector<uint8_t> huge(kMaxMessageSize + 1, 0);
    SetHeaderSize(huge, static_cast<uint32_t>(huge.size()));
    EXPECT_EQ(DecodeRaw(huge), DecodeError::TooLong);

    auto unknown = read;
    unknown[4] = 42;
    EXPECT_EQ(DecodeRaw(unknown), DecodeError::UnknownType);
    unknown[4] = 0;
    EXPECT_EQ(DecodeRaw(unknown), DecodeError::UnknownType);

    // Each side only accepts what the other side sends.
    EXPECT_EQ(DecodeRaw(read, Sender::Daemon), DecodeError::UnknownType);
    EXPECT_EQ(DecodeRaw(Encode(CompleteRecord{1, 0, 0, 0}, {}), Sender::Client), DecodeError::UnknownType);

    auto reserved = read;
    reserved[6] = 1;
    EXPECT_EQ(DecodeRaw(reserved), DecodeError::BadReserved);
    EXPECT_EQ(DecodeRaw(Encode(HelloRecord{kProtocolMagic, 1, 5})), DecodeError::BadReserved);
}

TEST(IomgrProtocol, LengthFieldsMustMatchTheirPayloadAndBounds) {
    EXPECT_EQ(DecodeRaw(Encode(ReadRecord{1, kMaxTransferLength + 1})), DecodeError::BadLength);
    EXPECT_EQ(DecodeRaw(Encode(WriteRecord{1, 5}, Bytes("abc"))), DecodeError::BadLength);
    EXPECT_EQ(DecodeRaw(Encode(WriteRecord{1, 1}, Bytes("abc"))), DecodeError::BadLength);
    EXPECT_EQ(DecodeRaw(Encode(DeviceControlRecord{1, 1, 0, kMaxTransferLength + 1, kNoHandle}, {})),
              DecodeError::BadLength);
    EXPECT_EQ(DecodeRaw(Encode(DeviceControlRecord{1, 1, 4, 0, kNoHandle}, Bytes("ab"))),
              DecodeError::BadLength);
    EXPECT_EQ(DecodeRaw(Encode(CompleteRecord{1, 0, 0, 3}, Bytes("ab")), Sender::Daemon),
              DecodeError::BadLength);
    // Records without a payload take none.
    auto cancel = Encode(CancelRecord{3});
    cancel.push_back(0);
    SetHeaderSize(cancel, static_cast<uint32_t>(cancel.size()));
    EXPECT_EQ(DecodeRaw(cancel), DecodeError::BadLength);
    // A record with a length field that claims more than the whole packet.
    auto write = Encode(WriteRecord{1, 2}, Bytes("ab"));
    Patch(write, WriteRecord{1, 0xFFFFFFFF});
    EXPECT_EQ(DecodeRaw(write), DecodeError::BadLength);
}

TEST(IomgrProtocol, NamesAndRequestIdsAreChecked) {
    EXPECT_EQ(DecodeRaw(Encode(CreateRecord{1, 0, 0, 0}, {})), DecodeError::BadName);
    std::string withNul("ab\0c", 4);
    EXPECT_EQ(DecodeRaw(Encode(CreateRecord{1, 0, 0, 4}, Bytes(withNul))), DecodeError::BadName);
    std::string tooLong(kMaxObjectNameLength + 1, 'n');
    EXPECT_EQ(DecodeRaw(Encode(CreateRecord{1, 0, 0, static_cast<uint32_t>(tooLong.size())}, Bytes(tooLong))),
              DecodeError::BadLength);
    EXPECT_EQ(DecodeRaw(Encode(ReadRecord{0, 1})), DecodeError::BadRequestId);
    EXPECT_EQ(DecodeRaw(Encode(LookupInterfaceRecord{0, kInterface, 0})), DecodeError::BadRequestId);
    EXPECT_EQ(DecodeRaw(Encode(CancelRecord{0})), DecodeError::None); // 0 cancels everything
}

TEST(Guid, ParsesAndFormatsTheWindowsTextForm) {
    auto g = ParseGuid("{DD2540C5-808A-4461-89FE-9CCE766B8E77}");
    ASSERT_TRUE(g);
    EXPECT_EQ(g->Data1, 0xDD2540C5u);
    EXPECT_EQ(g->Data2, 0x808Au);
    EXPECT_EQ(g->Data3, 0x4461u);
    EXPECT_EQ(g->Data4[0], 0x89);
    EXPECT_EQ(g->Data4[7], 0x77);
    EXPECT_EQ(FormatGuid(*g), "{dd2540c5-808a-4461-89fe-9cce766b8e77}");
    EXPECT_EQ(ParseGuid("dd2540c5-808a-4461-89fe-9cce766b8e77"), g);
    EXPECT_FALSE(ParseGuid("{DD2540C5-808A-4461-89FE-9CCE766B8E7}"));
    EXPECT_FALSE(ParseGuid("{DD2540C5-808A-4461-89FE-9CCE766B8E7G}"));
    EXPECT_FALSE(ParseGuid("(DD2540C5-808A-4461-89FE-9CCE766B8E77)"));
    EXPECT_FALSE(ParseGuid("DD2540C5+808A-4461-89FE-9CCE766B8E77"));
    EXPECT_FALSE(ParseGuid(""));
}
