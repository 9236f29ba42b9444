#include "protocol/FieldTree.h"

#include "protocol/Devices.h"
#include "session/CaptureSession.h"
#include "support/BusSequence.h"
#include "support/CaptureBytes.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace vintrace::protocol {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view hex) {
    return test::Hex(hex);
}

/// "name=value@offset+length": enough to see a field's meaning and its bytes at once.
std::string Brief(const FieldNode& n) {
    return n.name + "=" + n.value + "@" + std::to_string(n.offset) + "+" + std::to_string(n.length);
}

std::vector<std::string> Briefs(const std::vector<FieldNode>& nodes) {
    std::vector<std::string> out;
    for (const FieldNode& n : nodes) {
        out.push_back(Brief(n));
    }
    return out;
}

/// The first node called `name` anywhere under `nodes`, depth first.
const FieldNode* Find(const std::vector<FieldNode>& nodes, std::string_view name) {
    for (const FieldNode& n : nodes) {
        if (n.name == name) {
            return &n;
        }
        if (const FieldNode* found = Find(n.children, name)) {
            return found;
        }
    }
    return nullptr;
}

/// Every node lies inside the payload and inside its parent.
void ExpectNested(const std::vector<FieldNode>& nodes, std::size_t begin, std::size_t end,
                  const std::string& where) {
    for (const FieldNode& n : nodes) {
        EXPECT_GE(n.offset, begin) << where << Brief(n);
        EXPECT_LE(n.offset + n.length, end) << where << Brief(n);
        ExpectNested(n.children, n.offset, n.offset + n.length, where);
    }
}

TEST(FieldTree, SetupPacketFields) {
    struct Case {
        const char* hex;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        // 9.3: bmRequestType, bRequest, wValue, wIndex, wLength at offsets 0, 1, 2, 4, 6.
        {"8006000100001200",
         {"bmRequestType=0x80@0+1", "bRequest=6 GET_DESCRIPTOR@1+1", "wValue=0x0100@2+2",
          "wIndex=0x0000@4+2", "wLength=18@6+2"}},
        // A class request to interface 2 (HID SET_IDLE).
        {"210A000002000000",
         {"bmRequestType=0x21@0+1", "bRequest=10@1+1", "wValue=0x0000@2+2",
          "wIndex=0x0002 (interface 2)@4+2", "wLength=0@6+2"}},
        // CLEAR_FEATURE ENDPOINT_HALT to endpoint 0x81.
        {"0201000081000000",
         {"bmRequestType=0x02@0+1", "bRequest=1 CLEAR_FEATURE@1+1", "wValue=0x0000@2+2",
          "wIndex=0x0081 (endpoint 0x81)@4+2", "wLength=0@6+2"}},
        // Cut inside wValue: the whole fields, then the note over the cut byte.
        {"800600",
         {"bmRequestType=0x80@0+1", "bRequest=6 GET_DESCRIPTOR@1+1", "Truncated=3 of 8 bytes@2+1"}},
        {"", {"Truncated=0 of 8 bytes@0+0"}},
    };
    for (const Case& c : cases) {
        const auto bytes = Bytes(c.hex);
        const FieldNode n = SetupFields(bytes, 0);
        EXPECT_EQ(Briefs(n.children), c.fields) << c.hex;
        ExpectNested({n}, 0, bytes.size(), c.hex);
    }
    // 9.3.1: bit 7 the direction, bits 6..5 the type, bits 4..0 the recipient.
    const FieldNode n = SetupFields(Bytes("A101000100000800"), 0);
    EXPECT_EQ(Briefs(n.children.front().children),
              (std::vector<std::string>{"Direction=1... .... device-to-host@0+1",
                                        "Type=.01. .... class@0+1",
                                        "Recipient=...0 0001 interface@0+1"}));
    // 9.4.3: GET_DESCRIPTOR's wValue holds the index low and the type high.
    const FieldNode d = SetupFields(Bytes("8006030200000001"), 0);
    EXPECT_EQ(Briefs(d.children[2].children),
              (std::vector<std::string>{"Descriptor index=3@2+1",
                                        "Descriptor type=0x02 CONFIGURATION@3+1"}));
}

TEST(FieldTree, DescriptorsAndTheirCuts) {
    struct Case {
        const char* name;
        std::uint8_t type;
        const char* hex;
        std::vector<std::string> top;
    };
    const Case cases[] = {
        // 9.6.3: a configuration's descriptors one after another, each where it lies.
        {"configuration",
         2,
         "09022000010100A032"
         "090400000103010200"
         "0705810308000A"
         "07050202400000",
         {"Configuration Descriptor=@0+9", "Interface Descriptor=@9+9",
          "Endpoint Descriptor=EP 1 IN@18+7", "Endpoint Descriptor=EP 2 OUT@25+7"}},
        // 9.3.5: a configuration cut by wLength inside an endpoint: the part, then the note.
        {"cut configuration",
         2,
         "09022000010100A032"
         "090400000103010200"
         "0705",
         {"Configuration Descriptor=@0+9", "Interface Descriptor=@9+9", "Endpoint Descriptor=@18+2",
          "Truncated=20 of 32 bytes@20+0"}},
        // Bytes past wTotalLength belong to no descriptor.
        {"past wTotalLength",
         2,
         "09020900010100A032AABB",
         {"Configuration Descriptor=@0+9", "Data=past wTotalLength: 2 bytes: aa bb@9+2"}},
        // bLength 0 cannot be stepped over: the rest is malformed.
        {"zero bLength",
         2,
         "09020B00010100A0320004",
         {"Configuration Descriptor=@0+9", "Interface Descriptor=@9+2"}},
        {"device cut", 1, "12011001000000083412", {"Device Descriptor=@0+10"}},
        {"language IDs", 3, "040309040000", {"String Descriptor=@0+4", "Data=2 bytes: 00 00@4+2"}},
    };
    for (const Case& c : cases) {
        const auto bytes = Bytes(c.hex);
        const auto nodes = DescriptorDataFields(c.type, 0, bytes, 8, nullptr, nullptr);
        std::vector<std::string> expected;
        for (const std::string& s : c.top) {
            // The data stage starts after the setup packet: offsets move by 8.
            const auto at = s.rfind('@');
            const auto plus = s.rfind('+');
            expected.push_back(s.substr(0, at + 1) +
                               std::to_string(std::stoul(s.substr(at + 1, plus - at - 1)) + 8) +
                               s.substr(plus));
        }
        EXPECT_EQ(Briefs(nodes), expected) << c.name;
        ExpectNested(nodes, 8, 8 + bytes.size(), c.name);
    }
}

TEST(FieldTree, DescriptorFieldsCoverTheirBytes) {
    // 9.6.1: idVendor at 8 and idProduct at 10, two bytes each; cut after idProduct.
    const auto bytes = Bytes("120110010000000834124678");
    const auto nodes = DescriptorDataFields(1, 0, bytes, 0, nullptr, nullptr);
    ASSERT_EQ(nodes.size(), 1u);
    const auto& fields = nodes[0].children;
    ASSERT_EQ(fields.size(), 10u);
    EXPECT_EQ(Brief(fields[7]), "idVendor=0x1234@8+2");
    EXPECT_EQ(Brief(fields[8]), "idProduct=0x7846@10+2");
    EXPECT_EQ(Brief(fields[9]), "Truncated=12 of 18 bytes@12+0");
    // A cut inside a two-byte field: the note covers the byte that came.
    const auto odd =
        DescriptorDataFields(1, 0, Bytes("1201100100000008341246"), 0, nullptr, nullptr);
    EXPECT_EQ(Brief(odd[0].children.back()), "Truncated=11 of 18 bytes@10+1");
    // bLength below 2 says nothing about where the next descriptor starts.
    const auto small = DescriptorDataFields(1, 0, Bytes("0101"), 0, nullptr, nullptr);
    EXPECT_EQ(Brief(small[0].children.back()), "Malformed=bLength 1 is too small@0+1");
    // A string: its UTF-16LE text after the two-byte header (9.6.7).
    const auto text = DescriptorDataFields(3, 2, Bytes("0A034D006F007500"), 0, nullptr, nullptr);
    EXPECT_EQ(Brief(*Find(text, "bString")), "bString=\"Mou\"@2+6");
    EXPECT_EQ(Brief(text[0].children.back()), "Truncated=8 of 10 bytes@8+0");
}

TEST(FieldTree, MassStorageWrappers) {
    struct Case {
        const char* name;
        std::string hex;
        std::vector<std::string> fields;
    };
    // BOT 1.0 5.1: READ(10) of 8 blocks at LBA 2048, 4096 bytes IN, tag 0x10.
    const std::string cbw = "55534243"
                            "10000000"
                            "00100000"
                            "80"
                            "00"
                            "0A"
                            "28000000080000000800"
                            "000000000000";
    const Case cases[] = {
        {"CBW",
         cbw,
         {"dCBWSignature=USBC@0+4", "dCBWTag=0x00000010@4+4", "dCBWDataTransferLength=4096@8+4",
          "bmCBWFlags=0x80 (IN)@12+1", "bCBWLUN=0@13+1", "bCBWCBLength=10@14+1",
          "CBWCB=READ(10) LBA 2048 \u00d7 8@15+16"}},
        // A wrapper cut short keeps the fields it holds whole.
        {"cut CBW",
         "55534243100000000010000080",
         {"dCBWSignature=USBC@0+4", "dCBWTag=0x00000010@4+4", "dCBWDataTransferLength=4096@8+4",
          "bmCBWFlags=0x80 (IN)@12+1", "Truncated=13 of 31 bytes@13+0"}},
        // BOT 1.0 5.2: a failed command with 512 bytes not transferred.
        {"CSW",
         "55534253100000000002000001",
         {"dCSWSignature=USBS@0+4", "dCSWTag=0x00000010@4+4", "dCSWDataResidue=512@8+4",
          "bCSWStatus=1: failed@12+1"}},
        {"cut CSW", "555342531000", {"dCSWSignature=USBS@0+4", "Truncated=6 of 13 bytes@4+2"}},
    };
    for (const Case& c : cases) {
        const auto bytes = Bytes(c.hex);
        const auto nodes = MassStorageFields(bytes, 0);
        ASSERT_EQ(nodes.size(), 1u) << c.name;
        EXPECT_EQ(Briefs(nodes[0].children), c.fields) << c.name;
        ExpectNested(nodes, 0, bytes.size(), c.name);
    }
    const auto read = MassStorageFields(Bytes(cbw), 0);
    EXPECT_EQ(read[0].value, "SCSI READ(10) LBA 2048 \u00d7 8");
    EXPECT_EQ(
        Briefs(read[0].children.back().children),
        (std::vector<std::string>{"Operation code=0x28@15+1", "Logical block address=2048@17+4",
                                  "Transfer length=8@22+2"}));
    // Neither wrapper: a 32-byte block that starts like one, and bytes too few to tell.
    EXPECT_TRUE(MassStorageFields(Bytes(cbw + "00"), 0).empty());
    EXPECT_TRUE(MassStorageFields(Bytes("555342"), 0).empty());
}

TEST(FieldTree, BulkOnlyWrappersOnAMassStorageInterface) {
    // Interface 0 is bulk-only mass storage (class 08, SCSI 06, BOT 50) on endpoints 0x81
    // and 0x02.
    const std::string a = "3.0";
    const std::string bus =
        "SETUP " + a + ", DATA0 8006000200002000, ACK, IN " + a +
        ", DATA1 09022000010100A032090400000208065000070581024000000705020240000000, ACK, OUT " +
        a + ", DATA1, ACK, " +
        // BOT 1.0 5.1: a TEST UNIT READY without data, then its status (5.2).
        "OUT 3.2, DATA0 55534243" + "01000000" + "00000000" + "000006" + std::string(32, '0') +
        ", ACK, " + "IN 3.1, DATA0 55534253010000000000000000, ACK";
    const capture::PacketList packets = test::BusSequence(bus);
    const Transactions tx = GroupTransactions(packets);
    const DescribedTransfers described = AssembleDescribedTransfers(packets, tx);
    std::vector<std::string> wrappers;
    for (const TransferItem& item : described.items) {
        if (item.type != TransferType::Bulk) {
            continue;
        }
        const FieldTree t = TransferFields(packets, tx, described.devices, item);
        ASSERT_FALSE(t.fields.empty());
        wrappers.push_back(t.fields[0].name + ": " + t.fields[0].value);
        ExpectNested(t.fields, 0, t.payload.size(), "bulk");
    }
    EXPECT_EQ(wrappers,
              (std::vector<std::string>{"Command Block Wrapper: SCSI TEST UNIT READY",
                                        "Command Status Wrapper: CSW passed, residue 0"}));
}

TEST(FieldTree, MicrosoftOs20SetNestsItsSubsets) {
    // The BOS names vendor code 1 for a 46-byte set (MS OS 2.0 table 4); the set's
    // configuration subset holds a function subset that holds the compatible ID (tables 10-13).
    const std::string a = "3.0";
    const std::string bus =
        "SETUP " + a + ", DATA0 8006000F00002100, ACK, IN " + a +
        ", DATA1 050F2100011C100500DF60DDD88945C74C9CD2659D9E648A9F000003062E000100, ACK, OUT " +
        a + ", DATA1, ACK, SETUP " + a + ", DATA0 C001000007002E00, ACK, IN " + a +
        ", DATA1 0A000000000003062E00080001000000240008000200000" +
        "01C001400030057494E55534200000000000000000000, ACK, OUT " + a + ", DATA1, ACK";
    const capture::PacketList packets = test::BusSequence(bus);
    const Transactions tx = GroupTransactions(packets);
    const DescribedTransfers described = AssembleDescribedTransfers(packets, tx);
    ASSERT_EQ(described.items.size(), 2u);
    const FieldTree t = TransferFields(packets, tx, described.devices, described.items[1]);
    const FieldNode* set = Find(t.fields, "MS OS 2.0 Descriptor Set");
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->value, "WINUSB");
    const FieldNode* configuration = Find(set->children, "Configuration subset");
    ASSERT_NE(configuration, nullptr);
    const FieldNode* function = Find(configuration->children, "Function subset");
    ASSERT_NE(function, nullptr);
    ASSERT_NE(Find(function->children, "Compatible ID"), nullptr);
    // Each subset spans what it holds, not only its own 8 bytes.
    EXPECT_EQ(configuration->length, 36u);
    ExpectNested(t.fields, 0, t.payload.size(), "set");
}

TEST(FieldTree, FtdiStatusHeadersAndVendorRequests) {
    // An FT232R (0403:6001) with bulk IN 0x81: each IN packet starts with modem and line
    // status; a vendor request gets a field that says what it asks.
    const std::string bus =
        "SETUP 2.0, DATA0 8006000100001200, ACK, IN 2.0, DATA1 "
        "120110010000000803040160000601020301, ACK, OUT 2.0, DATA1, ACK, "
        "SETUP 2.0, DATA0 8006000200002000, ACK, IN 2.0, DATA1 "
        "09022000010100A02D0904000002FFFFFF020705810240000007050202400000, ACK, OUT 2.0, "
        "DATA1, ACK, "
        "SETUP 2.0, DATA0 4004080000000000, ACK, IN 2.0, DATA1, ACK, "
        "IN 2.1, DATA0 " +
        std::string("3160") + std::string(124, '4') + ", ACK, " + "IN 2.1, DATA1 31624F4B, ACK";
    const capture::PacketList packets = test::BusSequence(bus);
    const Transactions tx = GroupTransactions(packets);
    const DescribedTransfers described = AssembleDescribedTransfers(packets, tx);
    std::vector<std::string> seen;
    for (const TransferItem& item : described.items) {
        const FieldTree t = TransferFields(packets, tx, described.devices, item);
        if (item.type == TransferType::Bulk) {
            ExpectNested(t.fields, 0, t.payload.size(), "bulk");
            for (const FieldNode& packet : t.fields) {
                seen.push_back(Brief(packet));
                for (const FieldNode& part : packet.children) {
                    seen.push_back("  " + Brief(part));
                }
            }
        } else if (const FieldNode* request = Find(t.fields, "FT232R request")) {
            seen.push_back(Brief(*request));
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "FT232R request=FTDI SET_DATA 8N1@0+8",
                        "Packet 1=text \"" + std::string(62, 'D') +
                            "\"; status CTS, DSR, THRE, TEMT@0+64",
                        "  Modem status=0x31@0+1", "  Line status=0x60@1+1",
                        "  Data=62 bytes: text \"" + std::string(62, 'D') + "\"@2+62",
                        "Packet 2=text \"OK\"; status CTS, DSR, overrun, THRE, TEMT@64+4",
                        "  Modem status=0x31@64+1", "  Line status=0x62@65+1",
                        "  Data=2 bytes: text \"OK\"@66+2"}));
}

TEST(FieldTree, ALimitReadsOnlyThePayloadsStart) {
    // A mass-storage device (BOT 1.0 5.1): a READ(10) wrapper asking 96 bytes IN, the data
    // stage in a full and a short packet, then the status wrapper.
    const std::string bot =
        "SETUP 3.0, DATA0 8006000200002000, ACK, IN 3.0, "
        "DATA1 09022000010100A032090400000208065000070581024000000705020240000000, ACK, "
        "OUT 3.0, DATA1, ACK, OUT 3.2, DATA0 55534243010000006000000080000A28" +
        std::string(30, '0') + ", ACK, IN 3.1, DATA0 " + std::string(128, 'A') +
        ", ACK, IN 3.1, DATA1 " + std::string(64, 'B') +
        ", ACK, IN 3.1, DATA0 55534253010000000000000000, ACK";
    // An FT232R's bulk IN transfer of 64 + 4 bytes, each packet behind two status bytes.
    const std::string ftdi =
        "SETUP 2.0, DATA0 8006000100001200, ACK, IN 2.0, DATA1 "
        "120110010000000803040160000601020301, ACK, OUT 2.0, DATA1, ACK, "
        "SETUP 2.0, DATA0 8006000200002000, ACK, IN 2.0, DATA1 "
        "09022000010100A02D0904000002FFFFFF020705810240000007050202400000, ACK, OUT 2.0, "
        "DATA1, ACK, IN 2.1, DATA0 3160" +
        std::string(124, '4') + ", ACK, IN 2.1, DATA1 31624F4B, ACK";
    struct Case {
        const char* what;
        const std::string& bus;
        std::size_t bulk; // which bulk item
        std::size_t limit;
        std::size_t shown;
        std::string firstField;
        std::string note;            // empty: no note
        std::size_t span = SIZE_MAX; // transactions read at most
    };
    const std::string noteTail = " in all): Save payload as... writes them all";
    const Case cases[] = {
        {"data stage cut", bot, 1, 40, 40, "Data",
         "first 40 bytes shown, 56 more not read (96 bytes" + noteTail},
        {"data stage whole", bot, 1, SIZE_MAX, 96, "Data", ""},
        {"limit at the size", bot, 1, 96, 96, "Data", ""},
        {"wrapper within the limit", bot, 0, 31, 31, "Command Block Wrapper", ""},
        {"ftdi packets cut", ftdi, 0, 66, 66, "Packet 1",
         "first 66 bytes shown, 2 more not read (68 bytes" + noteTail},
        // Bounded by the transactions read: the first data packet only, or none at all.
        {"data stage after one transaction", bot, 1, SIZE_MAX, 64, "Data",
         "first 64 bytes shown, 32 more not read (96 bytes" + noteTail, 1},
        {"ftdi after one transaction", ftdi, 0, SIZE_MAX, 64, "Packet 1",
         "first 64 bytes shown, 4 more not read (68 bytes" + noteTail, 1},
        {"span bound at the size", bot, 1, SIZE_MAX, 96, "Data", "", 2},
        {"nothing read", bot, 1, SIZE_MAX, 0, kNotShownField,
         "first 0 bytes shown, 96 more not read (96 bytes" + noteTail, 0},
    };
    for (const Case& c : cases) {
        const capture::PacketList packets = test::BusSequence(c.bus);
        const Transactions tx = GroupTransactions(packets);
        const DescribedTransfers described = AssembleDescribedTransfers(packets, tx);
        std::vector<TransferItem> bulk;
        for (const TransferItem& item : described.items) {
            if (item.type == TransferType::Bulk) {
                bulk.push_back(item);
            }
        }
        ASSERT_GT(bulk.size(), c.bulk) << c.what;
        const TransferItem& item = bulk[c.bulk];
        const FieldTree t =
            TransferFields(packets, tx, described.devices, item, nullptr, c.limit, c.span);
        const std::vector<std::uint8_t> whole = DeliveredPayload(packets, tx, item);
        EXPECT_EQ(t.payload, std::vector<std::uint8_t>(whole.begin(), whole.begin() + c.shown))
            << c.what;
        ASSERT_FALSE(t.fields.empty()) << c.what;
        EXPECT_EQ(t.fields.front().name, c.firstField) << c.what;
        const bool noted = t.fields.back().name == kNotShownField;
        EXPECT_EQ(noted ? t.fields.back().value : std::string(), c.note) << c.what;
        ExpectNested(t.fields, 0, t.payload.size(), c.what);
    }
}

TEST(FieldTree, LineCoding) {
    struct Case {
        const char* hex;
        const char* value;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        // PSTN 1.2 6.3.11: rate, stop bits, parity, data bits.
        {"00C20100000008",
         "115200 8N1",
         {"dwDTERate=115200 baud@0+4", "bCharFormat=0: 1 stop bit@4+1", "bParityType=0: none@5+1",
          "bDataBits=8@6+1"}},
        {"80250000020207",
         "9600 7E2",
         {"dwDTERate=9600 baud@0+4", "bCharFormat=2: 2 stop bits@4+1", "bParityType=2: even@5+1",
          "bDataBits=7@6+1"}},
        {"8025000002",
         "line coding of 5 bytes (7 expected)",
         {"dwDTERate=9600 baud@0+4", "bCharFormat=2: 2 stop bits@4+1",
          "Truncated=5 of 7 bytes@5+0"}},
    };
    for (const Case& c : cases) {
        const auto bytes = Bytes(c.hex);
        const FieldNode n = LineCodingFields(bytes, 0);
        EXPECT_EQ(n.value, c.value) << c.hex;
        EXPECT_EQ(Briefs(n.children), c.fields) << c.hex;
    }
}

TEST(FieldTree, ReportDescriptorItemsNestInCollections) {
    // HID 1.11 6.2.2: Usage Page, Usage, Collection ... End Collection.
    const auto bytes = Bytes("05010902A1010901A10005091901290315002501950375018102C0C0");
    const auto nodes = ReportDescriptorFields(bytes, 0);
    ASSERT_EQ(nodes.size(), 4u);
    EXPECT_EQ(Brief(nodes[0]), "Usage Page (Generic Desktop)=05 01@0+2");
    // A collection spans its items, so a byte inside finds the item.
    EXPECT_EQ(Brief(nodes[2]), "Collection (Application)=a1 01@4+23");
    EXPECT_EQ(Brief(nodes[3]), "End Collection=c0@27+1");
    ASSERT_EQ(nodes[2].children.size(), 3u);
    EXPECT_EQ(Brief(nodes[2].children[1]), "Collection (Physical)=a1 00@8+18");
    EXPECT_EQ(nodes[2].children[1].children.size(), 8u);
    ExpectNested(nodes, 0, bytes.size(), "report descriptor");
}

/// Every transfer of a real capture: the ranges nest, and the fields a test knows read back
/// the values the device model holds.
class FieldTreeCapture : public ::testing::Test {
protected:
    void
    Walk(const char* file,
         const std::function<void(const TransferItem&, const FieldTree&, std::size_t)>& check) {
        ASSERT_TRUE(session_.open(file).ok());
        const auto& items = session_.transfers();
        for (std::size_t i = 0; i < items.size(); ++i) {
            const FieldTree t = TransferFields(session_.packets(), session_.transactions(),
                                               session_.devices(), items[i]);
            ExpectNested(t.fields, 0, t.payload.size(), file);
            check(items[i], t, i);
        }
    }
    session::CaptureSession session_;
};

TEST_F(FieldTreeCapture, DescriptorsAndLineCodingOfRealDevices) {
    int seen = 0;
    int codings = 0;
    Walk(VINTRACE_TEST_DATA "/fs-badge.dat",
         [&](const TransferItem&, const FieldTree& t, std::size_t) {
             // SET_LINE_CODING to the CDC interface: its data stage after the setup packet.
             if (const FieldNode* coding = Find(t.fields, "Line Coding")) {
                 ++codings;
                 EXPECT_EQ(coding->offset, 8u);
                 EXPECT_EQ(coding->value, "9600 8N1");
                 EXPECT_EQ(Brief(coding->children[0]), "dwDTERate=9600 baud@8+4");
             }
             const FieldNode* vendor = Find(t.fields, "idVendor");
             if (vendor == nullptr || Find(t.fields, "Device Descriptor") == nullptr) {
                 return;
             }
             ++seen;
             // The setup packet takes 8 bytes: idVendor is the data stage's bytes 8 and 9.
             EXPECT_EQ(vendor->offset, 16u);
             ASSERT_EQ(vendor->length, 2u);
             EXPECT_EQ(std::stoul(vendor->value, nullptr, 16),
                       t.payload[16] | static_cast<unsigned>(t.payload[17]) << 8);
             EXPECT_EQ(Brief(*Find(t.fields, "bRequest")), "bRequest=6 GET_DESCRIPTOR@1+1");
         });
    EXPECT_GT(seen, 0);
    EXPECT_GT(codings, 0);
}

TEST_F(FieldTreeCapture, ReportsSayWhatTheTransfersTitleSays) {
    int seen = 0;
    Walk(VINTRACE_TEST_DATA "/ls-mouse.dat",
         [&](const TransferItem& item, const FieldTree& t, std::size_t i) {
             if (item.type != TransferType::Interrupt || t.fields.empty() ||
                 !t.fields[0].name.starts_with("Report")) {
                 return;
             }
             ++seen;
             // One decoder: the tree's report is the text the command line prints.
             const auto decoded = session_.decoded(i);
             ASSERT_TRUE(decoded);
             EXPECT_NE(decoded->find(t.fields[0].value), std::string::npos) << *decoded;
             EXPECT_FALSE(t.fields[0].children.empty());
         });
    EXPECT_GT(seen, 0);
}

} // namespace
} // namespace vintrace::protocol
