#include "capture/PcapFile.h"
#include "capture/CaptureDecoder.h"
#include "capture/UsbCrc.h"
#include "support/CaptureBytes.h"
#include "support/CapturePrinters.h"
#include "support/FileContents.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace vintrace::capture {
namespace {

using test::Append;
using test::Hex;
using test::Packet;
using Bytes = std::vector<std::uint8_t>;

void Put16(Bytes& b, unsigned v, bool big = false) {
    if (big) {
        b.insert(b.end(), {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
    } else {
        b.insert(b.end(), {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)});
    }
}
void Put32(Bytes& b, std::uint32_t v, bool big = false) {
    if (big) {
        Put16(b, v >> 16, true);
        Put16(b, v & 0xFFFF, true);
    } else {
        Put16(b, v & 0xFFFF);
        Put16(b, v >> 16);
    }
}

/// A classic pcap header.
Bytes ClassicHeader(std::uint32_t linkType, bool big = false, bool nano = false) {
    Bytes b;
    Put32(b, nano ? 0xA1B23C4D : 0xA1B2C3D4, big);
    Put16(b, 2, big);
    Put16(b, 4, big);
    Put32(b, 0, big);
    Put32(b, 0, big);
    Put32(b, 65535, big);
    Put32(b, linkType, big);
    return b;
}

/// A classic pcap record whose header claims `caplen` bytes, followed by `data`.
void ClassicRecordClaiming(Bytes& b, const Bytes& data, std::uint32_t caplen, bool big = false) {
    Put32(b, 1, big);
    Put32(b, 2, big);
    Put32(b, caplen, big);
    Put32(b, caplen, big);
    Append(b, data);
}
void ClassicRecord(Bytes& b, const Bytes& data, bool big = false) {
    ClassicRecordClaiming(b, data, static_cast<std::uint32_t>(data.size()), big);
}

void PcapngBlock(Bytes& b, std::uint32_t type, const Bytes& body) {
    const auto total = static_cast<std::uint32_t>(12 + body.size());
    Put32(b, type);
    Put32(b, total);
    Append(b, body);
    Put32(b, total);
}

/// A pcapng section with one interface of `linkType` and one enhanced packet per record.
Bytes Pcapng(std::uint16_t linkType, const std::vector<Bytes>& records) {
    Bytes b;
    Bytes shb;
    Put32(shb, 0x1A2B3C4D);
    Put16(shb, 1);
    Put16(shb, 0);
    Put32(shb, 0xFFFFFFFF);
    Put32(shb, 0xFFFFFFFF);
    PcapngBlock(b, 0x0A0D0D0A, shb);
    Bytes idb;
    Put16(idb, linkType);
    Put16(idb, 0);
    Put32(idb, 65535);
    PcapngBlock(b, 1, idb);
    for (const Bytes& r : records) {
        Bytes epb;
        Put32(epb, 0);
        Put32(epb, 0);
        Put32(epb, 1000);
        Put32(epb, static_cast<std::uint32_t>(r.size()));
        Put32(epb, static_cast<std::uint32_t>(r.size()));
        Append(epb, r);
        while (epb.size() % 4 != 0) {
            epb.push_back(0);
        }
        PcapngBlock(b, 6, epb);
    }
    return b;
}

std::size_t FilesIn(const std::filesystem::path& dir) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

const std::vector<Bytes> kRecords = {Hex("A5 12 34"), Hex("2D 05 08"),
                                     Hex("C3 80 06 00 01 00 00 40 00 DD 94"), Hex("D2"),
                                     Hex("3C AA")};

Bytes DatOf(const std::vector<Bytes>& records) {
    Bytes dat;
    for (const Bytes& r : records) {
        Append(dat, Packet(r[0], Bytes(r.begin() + 1, r.end())));
    }
    return dat;
}

TEST(PcapImport, AcceptsEveryContainerByteOrderAndPrecision) {
    struct Case {
        const char* name;
        Bytes file;
    };
    auto classic = [](bool big, bool nano, std::uint32_t linkType) {
        Bytes b = ClassicHeader(linkType, big, nano);
        for (const Bytes& r : kRecords) {
            ClassicRecord(b, r, big);
        }
        return b;
    };
    const Case cases[] = {
        {"little-endian microseconds, 288", classic(false, false, 288)},
        {"big-endian microseconds, 294", classic(true, false, 294)},
        {"little-endian nanoseconds, 293", classic(false, true, 293)},
        {"big-endian nanoseconds, 288", classic(true, true, 288)},
        {"pcapng, 294", Pcapng(294, kRecords)},
    };
    const Bytes want = DatOf(kRecords);
    for (const Case& c : cases) {
        test::TempDir dir;
        const std::string in = dir.write("in.pcap", c.file);
        const std::string out = (dir.path() / "out.dat").string();
        const PcapResult r = ImportPcap(in, out, false);
        ASSERT_TRUE(r.ok()) << c.name << ": " << r.reason;
        EXPECT_EQ(r.records, kRecords.size()) << c.name;
        EXPECT_EQ(test::ReadBytes(out), want) << c.name;
    }
}

TEST(PcapImport, RejectsBadFilesWithTheOffsetAndWritesNothing) {
    struct Case {
        const char* name;
        Bytes file;
        PcapStatus status;
        std::optional<std::uint64_t> offset;
        const char* reasonHas;
    };
    Bytes truncatedHeader = ClassicHeader(294);
    ClassicRecord(truncatedHeader, Hex("D2"));
    truncatedHeader.insert(truncatedHeader.end(), {1, 0, 0, 0, 2});
    Bytes truncatedData = ClassicHeader(294);
    ClassicRecord(truncatedData, Hex("D2"));
    ClassicRecordClaiming(truncatedData, Hex("C3 00"), 10);
    Bytes tooLong = ClassicHeader(288);
    ClassicRecord(tooLong, Bytes(1028, 0xC3));
    Bytes absurd = ClassicHeader(288);
    ClassicRecordClaiming(absurd, Hex("C3"), 0x7FFFFFFF);
    Bytes ethernet = ClassicHeader(1);
    ClassicRecord(ethernet, Hex("D2"));
    Bytes cutPcapng = Pcapng(294, kRecords);
    cutPcapng.resize(cutPcapng.size() - 6);
    const Case cases[] = {
        {"empty file", {}, PcapStatus::BadFile, 0, ""},
        {"text", Bytes(40, 'x'), PcapStatus::BadFile, 0, "format"},
        {"cut record header", truncatedHeader, PcapStatus::BadFile, 24 + 17, "truncated"},
        {"cut record data", truncatedData, PcapStatus::BadFile, 24 + 17, "truncated"},
        {"record longer than a USB packet", tooLong, PcapStatus::BadFile, 24, "1028 bytes"},
        {"absurd length field", absurd, PcapStatus::BadFile, 24, "2147483647 bytes"},
        {"cut file header", Bytes(ethernet.begin(), ethernet.begin() + 10), PcapStatus::BadFile, 0,
         "truncated file header"},
        {"ethernet", ethernet, PcapStatus::WrongLinkType, 20, "link type 1 "},
        {"pcapng of another link type", Pcapng(1, kRecords), PcapStatus::WrongLinkType,
         std::nullopt, "link type 1 "},
        {"cut pcapng", cutPcapng, PcapStatus::BadFile, std::nullopt, ""},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        const std::string in = dir.write("in.pcap", c.file);
        const std::string out = (dir.path() / "out.dat").string();
        const PcapResult r = ImportPcap(in, out, false);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.reason;
        EXPECT_EQ(r.file, in) << c.name;
        if (c.offset) {
            EXPECT_EQ(r.offset, c.offset) << c.name;
        }
        EXPECT_NE(r.reason.find(c.reasonHas), std::string::npos) << c.name << ": " << r.reason;
        EXPECT_FALSE(std::filesystem::exists(out)) << c.name;
        EXPECT_EQ(FilesIn(dir.path()), 1u) << c.name << ": a temporary file was left behind";
    }
}

TEST(PcapImport, EmptyRecordsAreSkippedAndCounted) {
    Bytes file = ClassicHeader(294);
    ClassicRecord(file, Hex("D2"));
    ClassicRecord(file, {});
    ClassicRecord(file, Hex("5A"));
    test::TempDir dir;
    const std::string out = (dir.path() / "out.dat").string();
    const PcapResult r = ImportPcap(dir.write("in.pcap", file), out, false);
    ASSERT_TRUE(r.ok()) << r.reason;
    EXPECT_EQ(r.emptyRecords, 1u);
    EXPECT_EQ(test::ReadBytes(out), Hex("01 D2 01 5A"));
}

/// A SOF of frame `frame` with its CRC5.
Bytes Sof(unsigned frame) {
    const std::uint16_t field = WithCrc5(static_cast<std::uint16_t>(frame & 0x7FF));
    return {0xA5, static_cast<std::uint8_t>(field), static_cast<std::uint8_t>(field >> 8)};
}

// USB 2.0 8.4.3: a high-speed bus sends eight micro-frame SOFs with one frame number; 8.3.1:
// PING, SPLIT, NYET, DATA2 and MDATA exist only there. The import still succeeds.
TEST(PcapImport, SaysWhenTheCaptureLooksHighSpeed) {
    struct Case {
        const char* name;
        std::vector<Bytes> records;
        bool highSpeed;
    };
    const std::vector<Case> cases = {
        {"full-speed frames", {Sof(17), Sof(18), Sof(19), Sof(20)}, false},
        {"micro-frames", {Sof(17), Sof(17), Sof(17), Sof(17), Sof(18)}, true},
        {"one repeat is a glitch", {Sof(17), Sof(17), Sof(18), Sof(19)}, false},
        {"repeats with a bad CRC5",
         {Hex("A5 11 00"), Hex("A5 11 00"), Hex("A5 11 00"), Hex("A5 11 00")},
         false},
        {"PING", {Hex("B4 05 08")}, true},
        {"SPLIT", {Hex("78 05 08 00")}, true},
        {"NYET", {Hex("96")}, true},
        {"DATA2", {Hex("87 00 00")}, true},
        {"MDATA", {Hex("0F 00 00")}, true},
    };
    for (const Case& c : cases) {
        Bytes file = ClassicHeader(288);
        for (const Bytes& r : c.records) {
            ClassicRecord(file, r);
        }
        test::TempDir dir;
        const std::string out = (dir.path() / "out.dat").string();
        const PcapResult r = ImportPcap(dir.write("in.pcap", file), out, false);
        ASSERT_TRUE(r.ok()) << c.name << ": " << r.reason;
        EXPECT_EQ(r.highSpeed, c.highSpeed) << c.name;
        EXPECT_EQ(r.records, c.records.size()) << c.name;
    }
}

// A pcap may carry packets longer than a record keeps (an isochronous payload of up to 1023
// bytes, USB 2.0 5.6.3): the capture file gets every byte, and the import counts each record
// that will load cut short, so the caller can say so.
TEST(PcapImport, CountsRecordsLongerThanACaptureKeeps) {
    const struct {
        const char* name;
        Bytes record;
        bool cut;
    } cases[] = {
        {"Data0Of66AfterThePid", Bytes(67, 0xC3), false},
        {"Data1Of67AfterThePid", Bytes(68, 0x4B), true},
        {"IsochronousOf868", Bytes(869, 0xC3), true},
        {"UnknownOf66WithThePid", Bytes(66, 0x3C), false},
        {"UnknownOf67WithThePid", Bytes(67, 0x3C), true},
        {"TokenOf2", Hex("69 85 00"), false},
        {"TokenOf3", Hex("69 85 00 00"), true},
        {"HandshakeWithAByte", Hex("D2 00"), false},
        {"HandshakeWithThreeBytes", Hex("D2 00 00 00"), true},
    };
    for (const auto& c : cases) {
        Bytes file = ClassicHeader(294);
        ClassicRecord(file, Hex("A5 12 34"));
        ClassicRecord(file, c.record);
        test::TempDir dir;
        const std::string out = (dir.path() / "out.dat").string();
        const PcapResult r = ImportPcap(dir.write("in.pcap", file), out, false);
        ASSERT_TRUE(r.ok()) << c.name << ": " << r.reason;
        EXPECT_EQ(r.cutRecords, c.cut ? 1u : 0u) << c.name;
        EXPECT_EQ(r.longestCut, c.cut ? c.record.size() : 0u) << c.name;
        EXPECT_EQ(test::ReadBytes(out).size(), 2 * (3 + c.record.size())) << c.name;
    }
}

TEST(PcapExport, RoundTripKeepsEveryRecordThatHoldsAllItsBytes) {
    PacketList packets;
    const Bytes dat = DatOf({Hex("A5 12 34"), Hex("69 85 00"), Hex("4B 01 02 03 04 05 06"),
                             Hex("5A"), Hex("3C"), Hex("96 01 02"), Hex("2D 05")});
    ParseCaptureFile(dat, packets);
    for (UsbLinkType linkType :
         {UsbLinkType::Usb20, UsbLinkType::LowSpeed, UsbLinkType::FullSpeed}) {
        test::TempDir dir;
        const std::string pcap = (dir.path() / "out.pcap").string();
        const std::string back = (dir.path() / "back.dat").string();
        const PcapResult exported = ExportPcap(packets, pcap, linkType, false);
        ASSERT_TRUE(exported.ok()) << exported.reason;
        EXPECT_EQ(exported.records, packets.size());
        const Bytes file = test::ReadBytes(pcap);
        ASSERT_GE(file.size(), 24u);
        EXPECT_EQ(file[20] | file[21] << 8, static_cast<int>(linkType));
        ASSERT_TRUE(ImportPcap(pcap, back, false).ok());
        EXPECT_EQ(test::ReadBytes(back), dat);
    }
}

TEST(PcapExport, KeepsOnlyTheStoredBytesOfAnOverlongPacket) {
    Bytes payload(70, 0x11);
    const Bytes dat = Packet(0xC3, payload);
    PacketList packets;
    ParseCaptureFile(dat, packets);
    test::TempDir dir;
    const std::string pcap = (dir.path() / "out.pcap").string();
    ASSERT_TRUE(ExportPcap(packets, pcap, UsbLinkType::FullSpeed, false).ok());
    const Bytes file = test::ReadBytes(pcap);
    ASSERT_EQ(file.size(), 24u + 16u + 67u);
    EXPECT_EQ(file[24 + 8], 67); // caplen: the PID and the 66 stored bytes
    EXPECT_EQ(file[40], 0xC3);
}

TEST(PcapExport, NeverReplacesAFileUnlessAsked) {
    PacketList packets;
    ParseCaptureFile(Packet(0xD2), packets);
    test::TempDir dir;
    const Bytes old = Hex("01 02 03");
    const std::string out = dir.write("out.pcap", old);
    const PcapResult refused = ExportPcap(packets, out, UsbLinkType::FullSpeed, false);
    EXPECT_EQ(refused.status, PcapStatus::TargetExists);
    EXPECT_EQ(test::ReadBytes(out), old);
    EXPECT_EQ(FilesIn(dir.path()), 1u);
    ASSERT_TRUE(ExportPcap(packets, out, UsbLinkType::FullSpeed, true).ok());
    EXPECT_EQ(test::ReadBytes(out).size(), 24u + 16u + 1u);

    const std::string dat = dir.write("out.dat", old);
    EXPECT_EQ(ImportPcap(out, dat, false).status, PcapStatus::TargetExists);
    EXPECT_EQ(test::ReadBytes(dat), old);
    ASSERT_TRUE(ImportPcap(out, dat, true).ok());
    EXPECT_EQ(test::ReadBytes(dat), Hex("01 D2"));
}

// An export or import asked to stop leaves the target as it was and no temporary file beside
// it; one left to run counts every record it wrote (and the import every byte it read).
TEST(PcapProgress, AStopLeavesNothingAndProgressCountsAll) {
    PacketList packets;
    Bytes bytes;
    for (int i = 0; i < 70'000; ++i) { // past one progress step
        Append(bytes, Packet(0xA5, {static_cast<std::uint8_t>(i), 0x08}));
    }
    ParseCaptureFile(bytes, packets);
    ASSERT_EQ(packets.size(), 70'000u);
    test::TempDir dir;
    const Bytes old = Hex("01 02 03");
    const std::string out = dir.write("out.pcap", old);

    PcapProgress stopped;
    stopped.stop = true;
    const PcapResult r = ExportPcap(packets, out, UsbLinkType::FullSpeed, true, &stopped);
    EXPECT_EQ(r.status, PcapStatus::Stopped);
    EXPECT_EQ(test::ReadBytes(out), old);
    EXPECT_EQ(FilesIn(dir.path()), 1u);

    PcapProgress running;
    ASSERT_TRUE(ExportPcap(packets, out, UsbLinkType::FullSpeed, true, &running).ok());
    EXPECT_EQ(running.records.load(), packets.size());
    const std::size_t pcapSize = 24u + 70'000u * (16u + 3u);
    EXPECT_EQ(test::ReadBytes(out).size(), pcapSize);

    const std::string dat = (dir.path() / "out.dat").string();
    PcapProgress stopImport;
    stopImport.stop = true;
    EXPECT_EQ(ImportPcapBeside(out, dat, &stopImport).status, PcapStatus::Stopped);
    EXPECT_EQ(FilesIn(dir.path()), 1u);
    PcapProgress importing;
    const PcapResult imported = ImportPcapBeside(out, dat, &importing);
    ASSERT_TRUE(imported.ok());
    EXPECT_EQ(imported.records, 70'000u);
    EXPECT_EQ(importing.records.load(), 70'000u);
    EXPECT_EQ(importing.bytes.load(), pcapSize);
    EXPECT_EQ(test::ReadBytes(dat).size(), 70'000u * 6u);
}

TEST(PcapExport, ReportsAnOutputThatCannotBeCreated) {
    PacketList packets;
    test::TempDir dir;
    const std::string out = (dir.path() / "no-such-dir" / "out.pcap").string();
    const PcapResult r = ExportPcap(packets, out, UsbLinkType::FullSpeed, false);
    EXPECT_EQ(r.status, PcapStatus::CannotWrite);
    EXPECT_EQ(r.file, out);
    EXPECT_FALSE(r.reason.empty());
    EXPECT_EQ(
        ImportPcap((dir.path() / "missing.pcap").string(), (dir.path() / "x.dat").string(), false)
            .status,
        PcapStatus::CannotOpen);
}

// Replacing means moving a new file over the name: a device, a FIFO or a directory would be
// turned into a plain file (or the move fails late), so only regular files are replaced.
TEST(PcapExport, ReplacesOnlyRegularFiles) {
    namespace fs = std::filesystem;
    PacketList packets;
    ParseCaptureFile(Packet(0xD2), packets);
    test::TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string subdir = dir / "subdir";
    fs::create_directory(subdir);
    const std::string deviceLink = dir / "device-link";
    fs::create_symlink("/dev/null", deviceLink);
    const std::string danglingLink = dir / "dangling-link";
    fs::create_symlink(dir / "nowhere", danglingLink);
    const std::string pcap = dir / "in.pcap";
    ASSERT_TRUE(ExportPcap(packets, pcap, UsbLinkType::FullSpeed, false).ok());
    for (const std::string& target : {fifo, subdir, deviceLink, danglingLink}) {
        const auto typeBefore = fs::symlink_status(target).type();
        const PcapResult exported = ExportPcap(packets, target, UsbLinkType::FullSpeed, true);
        EXPECT_EQ(exported.status, PcapStatus::TargetNotRegular) << target;
        EXPECT_EQ(exported.reason, "not a regular file") << target;
        const PcapResult imported = ImportPcap(pcap, target, true);
        EXPECT_EQ(imported.status, PcapStatus::TargetNotRegular) << target;
        EXPECT_EQ(fs::symlink_status(target).type(), typeBefore) << target;
    }
    EXPECT_EQ(FilesIn(dir.path()), 5u);

    // A link to a regular file is replaced like the file.
    const std::string regular = dir.write("regular.pcap", Hex("01"));
    const std::string regularLink = dir / "regular-link";
    fs::create_symlink(regular, regularLink);
    EXPECT_TRUE(ExportPcap(packets, regularLink, UsbLinkType::FullSpeed, true).ok());
}

// Opening the same pcap twice opens its import; a name held by anything else moves the import
// to a free numbered name. Only a regular file of exactly the import's bytes counts as one.
TEST(PcapImport, BesideReusesItsOwnImportAndOtherwiseTakesAFreeName) {
    namespace fs = std::filesystem;
    const Bytes pcap = Pcapng(294, {Hex("A5 12 34"), Hex("2D 05")});
    const Bytes dat = Hex("01 A5 00 12 00 34 01 2D 00 05");
    Bytes longer = dat;
    longer.push_back(0x01);
    longer.push_back(0xD2);
    const struct {
        const char* name;
        std::vector<std::pair<std::string, Bytes>> files; // beside the pcap before
        const char* link;                                 // m.dat made a symlink to this
        const char* target;
        bool reused;
    } cases[] = {
        {"nothing there", {}, nullptr, "m.dat", false},
        {"its import", {{"m.dat", dat}}, nullptr, "m.dat", true},
        {"another capture", {{"m.dat", Hex("01 D2")}}, nullptr, "m-2.dat", false},
        {"a shorter file",
         {{"m.dat", Bytes(dat.begin(), dat.end() - 2)}},
         nullptr,
         "m-2.dat",
         false},
        {"a longer file", {{"m.dat", longer}}, nullptr, "m-2.dat", false},
        {"its import after another",
         {{"m.dat", Hex("01 D2")}, {"m-2.dat", dat}},
         nullptr,
         "m-2.dat",
         true},
        {"a link to its import", {{"same.dat", dat}}, "same.dat", "m-2.dat", false},
        {"a dangling link", {}, "nowhere", "m-2.dat", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const std::string in = dir.write("m.pcapng", pcap);
        for (const auto& [name, bytes] : c.files) {
            dir.write(name, bytes);
        }
        if (c.link != nullptr) {
            fs::create_symlink(dir / c.link, dir / "m.dat");
        }
        const std::size_t before = FilesIn(dir.path());
        const PcapResult r = ImportPcapBeside(in, dir / "m.dat");
        ASSERT_TRUE(r.ok()) << r.reason;
        EXPECT_EQ(r.target, dir / c.target);
        EXPECT_EQ(r.reused, c.reused);
        EXPECT_EQ(r.records, 2u);
        EXPECT_EQ(test::ReadBytes(r.target), dat);
        EXPECT_EQ(FilesIn(dir.path()), before + (c.reused ? 0 : 1)); // no temporary left
        for (const auto& [name, bytes] : c.files) {
            EXPECT_EQ(test::ReadBytes(dir / name), bytes) << name;
        }
    }

    // A directory, then every numbered name taken: refused, and nothing written.
    test::TempDir dir;
    const std::string in = dir.write("m.pcap", pcap);
    fs::create_directory(dir / "m.dat");
    for (int n = 2; n <= kImportNames; ++n) {
        dir.write("m-" + std::to_string(n) + ".dat", Hex("01 D2"));
    }
    const PcapResult full = ImportPcapBeside(in, dir / "m.dat");
    EXPECT_EQ(full.status, PcapStatus::TargetExists);
    EXPECT_EQ(FilesIn(dir.path()), 1u + kImportNames);
}

TEST(PcapImport, ReadsOnlyRegularFiles) {
    test::TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& input : {std::string("/dev/zero"), fifo}) {
        const PcapResult r = ImportPcap(input, dir / "out.dat", false);
        EXPECT_EQ(r.status, PcapStatus::CannotOpen) << input;
        EXPECT_EQ(r.reason, "not a regular file") << input;
        EXPECT_EQ(r.file, input);
    }
    EXPECT_EQ(FilesIn(dir.path()), 1u);
}

// A stream that fails only when flushed (a full disk) is a failed export, not a short one.
TEST(PcapExport, WritingToAStreamReportsAFullDevice) {
    PacketList packets;
    ParseCaptureFile(Packet(0xD2), packets);
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    const PcapResult r = WritePcap(packets, full, "<stdout>", UsbLinkType::FullSpeed);
    std::fclose(full);
    EXPECT_EQ(r.status, PcapStatus::CannotWrite);
    EXPECT_EQ(r.file, "<stdout>");
    EXPECT_EQ(r.reason, std::strerror(ENOSPC));
}

TEST(ExportClock, FollowsFrameNumbersAndStaysIncreasing) {
    struct Step {
        Bytes packet; // PID byte and bytes
        std::uint64_t time;
    };
    auto sof = [](unsigned frame) {
        return Bytes{0xA5, static_cast<std::uint8_t>(frame), static_cast<std::uint8_t>(frame >> 8)};
    };
    const std::vector<Step> steps = {
        {Hex("69 85 00"), 0}, // before any SOF: 1 us apart
        {Hex("5A"), 1},
        {sof(2046), 2}, // the first SOF starts its frame where the clock stands
        {Hex("69 85 00"), 3},
        {sof(2047), 1002},    // next frame: 1 ms after the previous SOF
        {sof(1), 3002},       // wraps at 2048; a missed frame still counts
        {sof(1), 3003},       // a repeated number stays in its frame
        {Hex("A5 05"), 3004}, // a cut SOF has no frame number
        {sof(2), 4002},
    };
    PacketList packets;
    Bytes dat;
    for (const Step& s : steps) {
        Append(dat, Packet(s.packet[0], Bytes(s.packet.begin() + 1, s.packet.end())));
    }
    ParseCaptureFile(dat, packets);
    ASSERT_EQ(packets.size(), steps.size());
    ExportClock clock;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(clock.next(packets[i]), steps[i].time) << "record " << i;
    }
}

TEST(ExportClock, MoreRecordsThanMicrosecondsInAFrameStillIncrease) {
    PacketList packets;
    Bytes dat = Packet(0xA5, {0x00, 0x00});
    for (int i = 0; i < 1500; ++i) {
        Append(dat, Packet(0x5A));
    }
    Append(dat, Packet(0xA5, {0x01, 0x00}));
    ParseCaptureFile(dat, packets);
    ExportClock clock;
    std::uint64_t last = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const std::uint64_t t = clock.next(packets[i]);
        if (i > 0) {
            EXPECT_GT(t, last);
        }
        last = t;
    }
    EXPECT_EQ(last, 1501u);
}

} // namespace
} // namespace vintrace::capture
