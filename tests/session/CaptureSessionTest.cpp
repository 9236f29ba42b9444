#include "session/CaptureSession.h"
#include "capture/HidePasses.h"
#include "protocol/TransferFilter.h"
#include "protocol/TransferLines.h"
#include "protocol/TransferSummary.h"
#include "support/BusSequence.h"
#include "support/FileContents.h"
#include "support/SessionEvents.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vintrace::session {
namespace {

using capture::HidePass;
using capture::LoadResult;
using Lines = std::vector<std::string>;

using protocol::TransferType;

std::string Data(const char* name) {
    return std::string(VINTRACE_TEST_DATA) + "/" + name;
}

std::size_t CountOf(const std::vector<protocol::TransferItem>& items, TransferType type) {
    return static_cast<std::size_t>(std::count_if(
        items.begin(), items.end(), [type](const auto& item) { return item.type == type; }));
}

TEST(CaptureSession, IndexesAreBuiltOnFirstUseAndFollowTheStore) {
    CaptureSession session;
    ASSERT_TRUE(session.open(Data("fs-badge.dat")).ok());
    EXPECT_FALSE(session.hasIndexes());
    const std::size_t folded = session.transfers(true).size();
    const std::size_t sofRuns = CountOf(session.transfers(true), TransferType::Sof);
    EXPECT_TRUE(session.hasIndexes());
    EXPECT_GT(sofRuns, 0u);
    // Unfolded, every SOF is an item of its own.
    EXPECT_GT(session.transfers(false).size(), folded);
    EXPECT_GT(CountOf(session.transfers(false), TransferType::Sof), sofRuns);

    // A hide pass changes the store: the indexes are built again from it.
    const std::size_t groupedBefore = session.transactions().size();
    ASSERT_GT(session.hide(HidePass::Sof()), 0u);
    EXPECT_FALSE(session.hasIndexes());
    EXPECT_LT(session.transactions().size(), groupedBefore);
    EXPECT_EQ(CountOf(session.transfers(true), TransferType::Sof), 0u);

    // Loading again restores what the file holds.
    ASSERT_TRUE(session.reload().ok());
    EXPECT_EQ(session.transfers(true).size(), folded);
}

TEST(CaptureSession, LoadReplacesTheStoreAndAFailedLoadLeavesItEmpty) {
    CaptureSession session;
    ASSERT_TRUE(session.open(Data("ls-mouse.dat")).ok());
    const std::size_t records = session.packets().size();
    ASSERT_GT(records, 0u);
    ASSERT_FALSE(session.endpoints().empty());
    ASSERT_FALSE(session.transfers().empty());
    // Loading twice does not append.
    ASSERT_TRUE(session.reload().ok());
    EXPECT_EQ(session.packets().size(), records);

    const LoadResult failed = session.open(Data("no-such-capture.dat"));
    EXPECT_FALSE(failed.ok());
    EXPECT_FALSE(failed.reason.empty());
    EXPECT_TRUE(session.packets().empty());
    EXPECT_TRUE(session.endpoints().empty());
    EXPECT_TRUE(session.transactions().empty());
    EXPECT_TRUE(session.transfers().empty());
}

// What the decoders say, per item, whichever list and in whatever order it is asked for.
TEST(CaptureSession, DecodedTextPerItemFollowsTheRecordsInEitherList) {
    CaptureSession session;
    ASSERT_TRUE(session.open(Data("fs-badge.dat")).ok());
    const struct {
        std::size_t firstRecord;
        std::optional<std::string> decoded;
    } cases[] = {
        // Asked from the end backwards: the first question decodes everything before it.
        {1758, "SET_REPORT output report 1 interface 2: Num Lock: 0, Caps Lock: 0, "
               "Scroll Lock: 0, Compose: 0, Kana: 0"},
        {1609, "\"TiDAL\""},
        {1541, std::nullopt}, // a stalled GET_DESCRIPTOR says nothing more
        {208, "SET_LINE_CODING 9600 8N1"},
        {173, "\"USB JTAG/serial debug unit\\x00\""},
        {142, "9 of 98 bytes"},
        {6, "device 303A:1001"},
        {0, std::nullopt}, // a run of SOFs
    };
    for (const bool fold : {true, false}) {
        EXPECT_EQ(session.decodedCount(fold), 0u);
        const std::vector<protocol::TransferItem>& items = session.transfers(fold);
        for (const auto& c : cases) {
            const auto item = session.itemOfRecord(c.firstRecord, fold);
            ASSERT_TRUE(item) << c.firstRecord;
            ASSERT_EQ(protocol::FirstRecord(session.transactions(), items[*item]), c.firstRecord);
            EXPECT_EQ(session.decoded(*item, fold), c.decoded)
                << "record " << c.firstRecord << (fold ? " folded" : " unfolded");
            if (c.decoded) { // a transfer: its next record leads to it too
                EXPECT_EQ(session.itemOfRecord(c.firstRecord + 1, fold), item);
            }
        }
        // Nothing after the last item asked for has been decoded yet.
        const std::size_t last = *session.itemOfRecord(cases[0].firstRecord, fold);
        EXPECT_EQ(session.decodedCount(fold), last + 1);
        EXPECT_LT(session.decodedCount(fold), items.size());
        EXPECT_EQ(session.decoded(items.size(), fold), std::nullopt);
    }
    // Unfolded, every SOF is an item: the same transfer has another number in each list.
    EXPECT_NE(session.itemOfRecord(1758, true), session.itemOfRecord(1758, false));
    EXPECT_EQ(session.itemOfRecord(session.packets().size(), true), std::nullopt);

    // A data packet tells its transfer's meaning; tokens, handshakes and SOFs do not.
    EXPECT_EQ(session.meaningOfDataPacket(1759), cases[0].decoded); // the SETUP's DATA0
    EXPECT_EQ(session.meaningOfDataPacket(1758), std::nullopt);     // SETUP token
    EXPECT_EQ(session.meaningOfDataPacket(1760), std::nullopt);     // ACK
    EXPECT_EQ(session.meaningOfDataPacket(0), std::nullopt);        // SOF
}

TEST(CaptureSession, DecodedTextsAreDroppedWhenTheStoreChanges) {
    CaptureSession session;
    ASSERT_TRUE(session.open(Data("fs-badge.dat")).ok());
    // Each transfer's summary with what the decoders say about it, SOF runs left out.
    auto described = [&session] {
        std::vector<std::pair<std::string, std::optional<std::string>>> out;
        const std::vector<protocol::TransferItem>& items = session.transfers(true);
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (items[i].type != protocol::TransferType::Sof) {
                out.emplace_back(protocol::TransferSummary(session.packets(),
                                                           session.transactions(), items[i],
                                                           protocol::SummaryForm::Line),
                                 session.decoded(i, true));
            }
        }
        return out;
    };
    const auto before = described();
    ASSERT_GT(session.decodedCount(true), 0u);
    ASSERT_GT(session.hide(HidePass::Sof()), 0u);
    EXPECT_EQ(session.decodedCount(true), 0u);
    EXPECT_FALSE(session.hasIndexes());
    // Without its SOF runs the list numbers its items anew; each keeps its own text.
    EXPECT_EQ(described(), before);
}

// The real low-speed mouse: each report on its interrupt endpoint is a transfer of its own
// (USB 2.0 5.7.5: the host asks for one report at a time), decoded alone.
TEST(CaptureSession, EachMouseReportIsATransferDecodedAlone) {
    CaptureSession session;
    ASSERT_TRUE(session.open(Data("ls-mouse.dat")).ok());
    const auto item = session.itemOfRecord(1160);
    ASSERT_TRUE(item);
    EXPECT_EQ(session.itemOfRecord(1163), *item + 1);
    EXPECT_EQ(session.decoded(*item),
              "HID report 1: Button 1: 0, Button 2: 0, Button 3: 0, Button 4: 0, Button 5: 0, "
              "X: -1, Y: 0, Wheel: 0, AC Pan: 0");
    EXPECT_EQ(session.decoded(*item + 1),
              "HID report 1: Button 1: 0, Button 2: 0, Button 3: 0, Button 4: 0, Button 5: 0, "
              "X: -2, Y: 0, Wheel: 0, AC Pan: 0");
}

// A mass-storage data stage is read by the command before it, even when the data stage is
// the first item anyone asks about.
TEST(CaptureSession, DecodesInCaptureOrderWhateverIsAskedFirst) {
    // A bulk-only interface with bulk IN 0x81 and OUT 0x02, 64 bytes each.
    const std::string configuration = "09022000010100803209040000020806500007058102400000"
                                      "07050202400000";
    CaptureSession session;
    session.replaceStore(
        test::BusSequence(
            "SETUP 7.0, DATA0 8006000200002000, ACK, IN 7.0, DATA1 " + configuration +
            ", ACK, OUT 7.0, DATA1, ACK, "
            "OUT 7.2, DATA0 55534243090000000800000080000A25000000000000000000000000000000, ACK, "
            "IN 7.1, DATA0 0003FFFF00000200, ACK"),
        {}, "disk.dat");
    ASSERT_EQ(session.transfers(true).size(), 3u);
    EXPECT_EQ(session.meaningOfDataPacket(13),
              "READ CAPACITY data: last LBA 262143, block 512 bytes, 134217728 bytes");
    EXPECT_EQ(session.decodedItem(1, true),
              (protocol::Decoded{"SCSI READ CAPACITY(10)\nCBW tag 0x9, LUN 0, IN 8 bytes",
                                 protocol::HeadlineUse::Replace}));
}

// Every change of the store, whoever makes it, drops the indexes and the cursor and is told
// once; naming a file changes nothing that is shown.
/// Polls `session` as the window's timer does until its build is taken in.
bool WaitForPrepared(CaptureSession& session) {
    for (int i = 0; i < 20000; ++i) {
        if (session.collectPrepared()) {
            return true;
        }
        if (!session.preparing()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// The worker's indexes are the ones the session builds on first use: the same items in the
// same order, the same item for every record and the same decoded text for every item. The
// first fold prepared builds everything; the other one reads the transactions, frames and
// devices the first left.
TEST(CaptureSession, TransfersPreparedOnAWorkerMatchThoseBuiltOnFirstUse) {
    for (const char* file : {"fs-badge.dat", "ls-mouse.dat", "edge-cases.dat", "faults.dat"}) {
        for (const bool fold : {true, false}) {
            SCOPED_TRACE(std::string(file) + (fold ? " folded" : " unfolded"));
            CaptureSession serial;
            CaptureSession worker;
            ASSERT_TRUE(serial.open(Data(file)).ok());
            ASSERT_TRUE(worker.open(Data(file)).ok());
            worker.prepareTransfers(!fold);
            ASSERT_TRUE(WaitForPrepared(worker));
            EXPECT_FALSE(worker.transfersReady(fold));
            worker.prepareTransfers(fold);
            ASSERT_TRUE(WaitForPrepared(worker));
            ASSERT_TRUE(worker.transfersReady(fold));
            EXPECT_FALSE(worker.preparing());
            const protocol::TransferList& expected = serial.transferList(fold);
            const protocol::TransferList& got = worker.transferList(fold);
            ASSERT_EQ(got.size(), expected.size());
            for (std::size_t i = 0; i < got.size(); ++i) {
                ASSERT_EQ(got[i], expected[i]) << "item " << i;
                ASSERT_EQ(worker.decoded(i, fold), serial.decoded(i, fold)) << "item " << i;
            }
            for (std::size_t r = 0; r < serial.packets().size(); ++r) {
                ASSERT_EQ(worker.itemOfRecord(r, fold), serial.itemOfRecord(r, fold))
                    << "record " << r;
            }
            EXPECT_EQ(worker.devices().devices().size(), serial.devices().devices().size());
        }
    }
}

// The devices alone, on a worker, are those found on first use, and cost no transfer list; a
// transfer build under way finds them too and is left to run; a later one reads them.
TEST(CaptureSession, DevicesPreparedOnAWorkerMatchThoseFoundOnFirstUse) {
    for (const char* file : {"fs-badge.dat", "ls-mouse.dat", "past-wlength.dat", "faults.dat"}) {
        SCOPED_TRACE(file);
        CaptureSession serial;
        CaptureSession worker;
        ASSERT_TRUE(serial.open(Data(file)).ok());
        ASSERT_TRUE(worker.open(Data(file)).ok());
        worker.prepareDevices();
        ASSERT_TRUE(WaitForPrepared(worker));
        ASSERT_TRUE(worker.devicesReady());
        EXPECT_FALSE(worker.transfersReady(true));
        EXPECT_FALSE(worker.transfersReady(false));
        const protocol::DeviceModel& expected = serial.devices();
        const protocol::DeviceModel& got = worker.devices();
        EXPECT_TRUE(got.devices() == expected.devices());
        EXPECT_TRUE(got.controlSpans() == expected.controlSpans());

        CaptureSession both;
        ASSERT_TRUE(both.open(Data(file)).ok());
        both.prepareTransfers(true);
        both.prepareDevices();
        ASSERT_TRUE(WaitForPrepared(both));
        EXPECT_TRUE(both.transfersReady(true));
        EXPECT_TRUE(both.devices().devices() == expected.devices());
    }
}

// A Transfers build hands its devices over as soon as it has found them, while it still
// assembles and decodes: the Devices window need not wait for the decoding. They are the
// devices found on first use, and the build's own end result agrees with them. A device that
// enumerates again and again gives the build plenty to decode after the device pass; should
// the build still end before a poll sees it running, it runs again on a longer capture.
TEST(CaptureSession, ATransferBuildHandsItsDevicesOverBeforeItEnds) {
    std::ifstream in(Data("fs-badge.dat"), std::ios::binary);
    const std::vector<std::uint8_t> one((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
    ASSERT_FALSE(one.empty());
    test::TempDir dir;
    bool early = false;
    for (int copies = 64; copies <= 1024 && !early; copies *= 4) {
        SCOPED_TRACE(copies);
        std::vector<std::uint8_t> bytes;
        for (int i = 0; i < copies; ++i) {
            bytes.insert(bytes.end(), one.begin(), one.end());
        }
        const std::string file = dir.write("repeated.dat", bytes);
        CaptureSession serial;
        CaptureSession worker;
        ASSERT_TRUE(serial.open(file).ok());
        ASSERT_TRUE(worker.open(file).ok());
        worker.prepareTransfers(true);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!worker.devicesReady() && std::chrono::steady_clock::now() < until) {
            if (worker.collectPrepared()) {
                break;
            }
        }
        ASSERT_TRUE(worker.devicesReady());
        early = worker.preparing().has_value() && !worker.transfersReady(true);
        const protocol::DeviceModel& expected = serial.devices();
        EXPECT_TRUE(worker.devices().devices() == expected.devices());
        EXPECT_TRUE(worker.devices().controlSpans() == expected.controlSpans());
        // The rest of the build reads devices of its own; what it ends with is the same.
        if (early) {
            ASSERT_TRUE(WaitForPrepared(worker));
            ASSERT_TRUE(worker.transfersReady(true));
            EXPECT_TRUE(worker.devices().devices() == expected.devices());
            const protocol::TransferList& want = serial.transferList(true);
            const protocol::TransferList& got = worker.transferList(true);
            ASSERT_EQ(got.size(), want.size());
            for (std::size_t i = 0; i < got.size(); ++i) {
                ASSERT_EQ(got[i], want[i]) << "item " << i;
            }
        }
    }
    EXPECT_TRUE(early) << "the build ended before its devices were seen, on every capture";
}

// A change of the store stops a build under way: nothing it made outlives the store it read.
TEST(CaptureSession, StoreChangeStopsATransferBuild) {
    const std::function<void(CaptureSession&)> changes[] = {
        [](CaptureSession& s) { s.hide(HidePass::Sof()); },
        [](CaptureSession& s) { s.reload(); },
        [](CaptureSession& s) { s.clear(); },
    };
    for (const auto& change : changes) {
        CaptureSession session;
        ASSERT_TRUE(session.open(Data("fs-badge.dat")).ok());
        session.prepareTransfers(true);
        change(session);
        EXPECT_FALSE(session.preparing());
        EXPECT_FALSE(session.collectPrepared());
        EXPECT_FALSE(session.hasIndexes());

        ASSERT_TRUE(session.open(Data("fs-badge.dat")).ok());
        session.prepareDevices();
        change(session);
        EXPECT_FALSE(session.preparing());
        EXPECT_FALSE(session.collectPrepared());
        EXPECT_FALSE(session.hasIndexes());
    }
}

// Dropped indexes and replaced stores are freed on a thread of the session's own, all of them,
// and before the session is gone.
TEST(CaptureSession, DroppedDataIsFreedAsideAndBeforeTheEnd) {
    struct Freed {
        std::atomic<int>* count;
        std::thread::id* where;
        Freed(std::atomic<int>& c, std::thread::id& w) : count(&c), where(&w) {}
        Freed(Freed&& other) noexcept
            : count(std::exchange(other.count, nullptr)), where(other.where) {}
        ~Freed() {
            if (count != nullptr) {
                *where = std::this_thread::get_id();
                ++*count;
            }
        }
    };
    std::atomic<int> count{0};
    std::thread::id where;
    {
        Disposal disposal;
        disposal.free(Freed(count, where));
        disposal.wait();
        EXPECT_EQ(count, 1);
        EXPECT_NE(where, std::this_thread::get_id());
        for (int i = 0; i < 50; ++i) {
            disposal.free(Freed(count, where));
        }
    }
    EXPECT_EQ(count, 51);

    // The session's indexes go at once; what they held is freed aside.
    CaptureSession session;
    ASSERT_TRUE(session.open(Data("fs-badge.dat")).ok());
    const std::size_t items = session.transferList(true).size();
    session.hide(HidePass::Nak());
    EXPECT_FALSE(session.hasIndexes());
    session.waitForDisposal();
    capture::PacketList other;
    capture::EndpointTable table;
    ASSERT_TRUE(capture::LoadCaptureFile(Data("fs-badge.dat"), other, table).ok());
    session.replaceStore(std::move(other), std::move(table), Data("fs-badge.dat"));
    session.waitForDisposal();
    EXPECT_EQ(session.transferList(true).size(), items);
}

// A new build waits on its worker for the old indexes to be freed, but a build that is
// destroyed meanwhile must not hold the window up until the freeing ends.
TEST(CaptureSession, DisposalWaitGivesUpWhenStopped) {
    struct Slow {
        std::shared_future<void> release;
        std::atomic<bool>* freed;
        Slow(std::shared_future<void> r, std::atomic<bool>& f) : release(std::move(r)), freed(&f) {}
        Slow(Slow&& other) noexcept
            : release(std::move(other.release)), freed(std::exchange(other.freed, nullptr)) {}
        ~Slow() {
            if (freed != nullptr) {
                release.wait();
                *freed = true;
            }
        }
    };
    std::promise<void> release;
    std::atomic<bool> freed{false};
    Disposal disposal;
    disposal.free(Slow(release.get_future().share(), freed));
    const std::atomic<bool> stop{true};
    disposal.wait(stop);
    EXPECT_FALSE(freed);
    release.set_value();
    const std::atomic<bool> go{false};
    disposal.wait(go);
    EXPECT_TRUE(freed);
}

TEST(CaptureSession, EveryStoreChangeIsToldOnceAndDropsTheCursor) {
    CaptureSession session;
    test::SessionEvents events(session);
    const struct {
        const char* what;
        std::function<void()> change;
        Lines told;
    } changes[] = {
        {"open", [&] { session.open(Data("ls-mouse.dat")); }, {"store"}},
        {"hide", [&] { session.hide(HidePass::Transactions(4, 1)); }, {"store"}},
        {"reload", [&] { session.reload(); }, {"store"}},
        {"replace",
         [&] { session.replaceStore(test::BusSequence("SOF 5, SOF 6"), {}, "x.dat"); },
         {"store"}},
        {"clear", [&] { session.clear(); }, {"store"}},
        {"a failed open", [&] { session.open(Data("no-such-capture.dat")); }, {"store"}},
        {"a name", [&] { session.nameFile("y.dat"); }, {}},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.what);
        if (!session.packets().empty()) {
            session.moveCursor(0, CursorFrom::PacketList);
            (void)session.transactions();
        }
        events.take();
        c.change();
        EXPECT_EQ(events.take(), c.told);
        if (!c.told.empty()) {
            EXPECT_EQ(session.cursor(), std::nullopt);
            EXPECT_FALSE(session.hasIndexes());
        }
    }
    EXPECT_EQ(session.fileName(), "y.dat");
}

// A hide on a worker leaves the store and its indexes as they are until it is swapped in, then
// gives what the hide in place gives. Any other change of the store stops it first, and a
// stopped hide changes nothing.
TEST(CaptureSession, HideOnAWorkerChangesTheStoreOnlyWhenSwappedIn) {
    CaptureSession inPlace;
    inPlace.open(Data("ls-mouse.dat"));
    inPlace.hide(HidePass::Nak());

    CaptureSession session;
    test::SessionEvents events(session);
    session.open(Data("ls-mouse.dat"));
    const std::size_t before = session.packets().size();
    (void)session.transactions();
    events.take();
    session.startHide(HidePass::Nak());
    ASSERT_NE(session.backgroundHide(), nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!session.backgroundHide()->finished() && std::chrono::steady_clock::now() < deadline) {
        EXPECT_EQ(session.packets().size(), before);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(session.hasIndexes());
    EXPECT_EQ(events.take(), Lines{});
    ASSERT_LT(inPlace.packets().size(), before);
    EXPECT_EQ(session.finishHide(), before - inPlace.packets().size());
    EXPECT_EQ(events.take(), Lines{"store"});
    EXPECT_FALSE(session.hasIndexes());
    EXPECT_EQ(session.backgroundHide(), nullptr);
    ASSERT_EQ(session.packets().size(), inPlace.packets().size());
    for (std::size_t i = 0; i < inPlace.packets().size(); ++i) {
        ASSERT_EQ(session.packets()[i], inPlace.packets()[i]) << i;
    }

    const std::size_t hidden = session.packets().size();
    const struct {
        const char* what;
        std::function<void()> stop;
        std::size_t after;
    } stops[] = {
        {"cancel", [&] { session.cancelHide(); }, hidden},
        {"hide in place", [&] { session.hide(HidePass::Transactions(99, std::nullopt)); }, hidden},
        {"reload", [&] { session.reload(); }, before},
        {"clear", [&] { session.clear(); }, 0},
    };
    for (const auto& c : stops) {
        SCOPED_TRACE(c.what);
        session.startHide(HidePass::Sof());
        c.stop();
        EXPECT_EQ(session.backgroundHide(), nullptr);
        EXPECT_EQ(session.finishHide(), std::nullopt);
        EXPECT_EQ(session.packets().size(), c.after);
    }
}

/// fs-badge.dat 256 times over in `dir` (its path; empty when unreadable): large enough that
/// a worker's pass over it can be stopped part way.
std::string RepeatedBadge(test::TempDir& dir) {
    std::ifstream in(Data("fs-badge.dat"), std::ios::binary);
    const std::vector<std::uint8_t> one((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
    if (one.empty()) {
        return {};
    }
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 256; ++i) {
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return dir.write("repeated.dat", bytes);
}

/// Waits until `done` holds, for a minute at most.
void RunUntil(const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

// A hide stopped part way through a large capture has built headers; they go with the job to
// the disposal thread. The store is what the stop leaves, and a hide run to its end afterwards
// still gives what the hide in place gives.
TEST(CaptureSession, AHideStoppedPartWayLeavesTheStoreAsTheStopDoes) {
    test::TempDir dir;
    const std::string file = RepeatedBadge(dir);
    ASSERT_FALSE(file.empty());
    CaptureSession inPlace;
    ASSERT_TRUE(inPlace.open(file).ok());
    inPlace.hide(HidePass::Nak());

    CaptureSession session;
    ASSERT_TRUE(session.open(file).ok());
    const std::size_t before = session.packets().size();
    ASSERT_LT(inPlace.packets().size(), before);
    const struct {
        const char* what;
        std::function<void()> stop;
        std::size_t after;
    } stops[] = {
        {"cancel", [&] { session.cancelHide(); }, before},
        {"hide in place", [&] { session.hide(HidePass::Transactions(99, std::nullopt)); }, before},
        {"reload", [&] { session.reload(); }, before},
        {"clear", [&] { session.clear(); }, 0},
    };
    for (const auto& c : stops) {
        SCOPED_TRACE(c.what);
        session.startHide(HidePass::Nak());
        RunUntil([&] {
            return session.backgroundHide()->done() > 0 || session.backgroundHide()->finished();
        });
        c.stop();
        EXPECT_EQ(session.backgroundHide(), nullptr);
        EXPECT_EQ(session.finishHide(), std::nullopt);
        EXPECT_EQ(session.packets().size(), c.after);
        session.waitForDisposal();
    }

    ASSERT_TRUE(session.reload().ok());
    session.startHide(HidePass::Nak());
    RunUntil([&] { return session.backgroundHide()->finished(); });
    ASSERT_EQ(session.finishHide(), before - inPlace.packets().size());
    for (std::size_t i = 0; i < inPlace.packets().size(); ++i) {
        ASSERT_EQ(session.packets()[i], inPlace.packets()[i]) << i;
    }
}

// An export on a worker writes what the export at once writes. A cancel or any change of the
// store stops it first, leaving the target as it was and nothing beside it; a store change is
// reported as a stopped export, a cancel drops the job.
TEST(CaptureSession, ExportOnAWorkerStopsBeforeTheStoreChanges) {
    test::TempDir dir;
    const std::string file = RepeatedBadge(dir);
    ASSERT_FALSE(file.empty());
    const std::string expected = (dir.path() / "expected.pcap").string();
    const std::string target = (dir.path() / "target.pcap").string();
    CaptureSession session;
    ASSERT_TRUE(session.open(file).ok());
    const std::size_t records = session.packets().size();
    ASSERT_GT(records, std::size_t{1} << 17); // several progress steps
    ASSERT_TRUE(
        capture::ExportPcap(session.packets(), expected, capture::UsbLinkType::LowSpeed, false)
            .ok());

    // Decode As changes no record: the export runs on to its end.
    session.startExport(target, capture::UsbLinkType::LowSpeed);
    ASSERT_NE(session.backgroundExport(), nullptr);
    RunUntil([&] {
        return session.backgroundExport()->done() > 0 || session.backgroundExport()->finished();
    });
    protocol::EndpointAssumptions decodeAs;
    decodeAs.set(1, 1, protocol::Direction::In, {protocol::AssumedKind::Bulk, true});
    session.assume(decodeAs);
    RunUntil([&] { return session.backgroundExport()->finished(); });
    const std::optional<capture::PcapResult> done = session.finishExport();
    ASSERT_TRUE(done && done->ok());
    EXPECT_EQ(done->records, records);
    EXPECT_EQ(session.backgroundExport(), nullptr);
    EXPECT_EQ(test::ReadBytes(target), test::ReadBytes(expected));

    const std::string old = "kept";
    const struct {
        const char* what;
        std::function<void()> stop;
        bool reported;
    } stops[] = {
        {"cancel", [&] { session.cancelExport(); }, false},
        {"hide in place", [&] { session.hide(HidePass::Transactions(99, std::nullopt)); }, true},
        {"reload", [&] { session.reload(); }, true},
        {"clear", [&] { session.clear(); }, true},
    };
    for (const auto& c : stops) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(session.reload().ok());
        { std::ofstream(target, std::ios::binary | std::ios::trunc) << old; }
        session.startExport(target, capture::UsbLinkType::LowSpeed);
        RunUntil([&] {
            return session.backgroundExport()->done() > 0 || session.backgroundExport()->finished();
        });
        if (session.backgroundExport()->finished()) {
            GTEST_SKIP() << "the export ended before it could be stopped";
        }
        c.stop();
        if (c.reported) {
            ASSERT_NE(session.backgroundExport(), nullptr);
            EXPECT_TRUE(session.backgroundExport()->finished());
            const std::optional<capture::PcapResult> stopped = session.finishExport();
            ASSERT_TRUE(stopped);
            EXPECT_EQ(stopped->status, capture::PcapStatus::Stopped);
        }
        EXPECT_EQ(session.backgroundExport(), nullptr);
        EXPECT_EQ(session.finishExport(), std::nullopt);
        EXPECT_EQ(test::ReadBytes(target), std::vector<std::uint8_t>(old.begin(), old.end()));
        const auto beside = std::distance(std::filesystem::directory_iterator(dir.path()),
                                          std::filesystem::directory_iterator());
        EXPECT_EQ(beside, 3); // the capture, the expected export and the target
    }
}

// A saved Transfers view holds, in order, each item the filter passes with its decoded text,
// as the lines are made one by one; a worker writes the same bytes. A cancel, Decode As or a
// reload stops the worker first and leaves the target as it was; building the other fold
// changes nothing it reads, and it runs on.
TEST(CaptureSession, SavedViewsAreTheItemsLinesAndStopBeforeTheIndexesGo) {
    test::TempDir dir;
    const std::string file = RepeatedBadge(dir);
    ASSERT_FALSE(file.empty());
    const std::string expected = (dir.path() / "expected.txt").string();
    const std::string target = (dir.path() / "target.txt").string();
    CaptureSession session;
    ASSERT_TRUE(session.open(file).ok());
    constexpr auto Saved = CaptureSession::SavedView::Transfers;
    protocol::TransferFilter control;
    control.types = 1u << static_cast<unsigned>(TransferType::Control);
    const bool fold = true;
    for (const bool json : {false, true}) {
        for (const auto& filter : {protocol::TransferFilter{}, control}) {
            SCOPED_TRACE(std::string(json ? "json" : "text") + (filter.empty() ? "" : " control"));
            std::string lines;
            const protocol::TransferFilterMatch passes(filter, session.packets(),
                                                       session.transactions(), &session.devices());
            const protocol::TransferList& items = session.transferList(fold);
            std::size_t decoded = 0;
            for (std::size_t i = 0; i < items.size(); ++i) {
                const std::optional<std::string> text = session.decoded(i, fold);
                decoded += text.has_value();
                if (passes(items[i])) {
                    (json ? protocol::AppendTransferJson : protocol::AppendTransferLine)(
                        lines, session.packets(), session.transactions(), items[i], text);
                }
            }
            ASSERT_GT(decoded, 0u);
            ASSERT_TRUE(session.saveTransfers(expected, fold, filter, json).ok());
            EXPECT_EQ(test::ReadBytes(expected),
                      std::vector<std::uint8_t>(lines.begin(), lines.end()));
            session.startSaveTransfers(target, fold, filter, json);
            RunUntil([&] { return session.backgroundSave(Saved)->finished(); });
            const std::optional<capture::PcapResult> done = session.finishSave(Saved);
            ASSERT_TRUE(done && done->ok());
            EXPECT_EQ(test::ReadBytes(target), test::ReadBytes(expected));
        }
    }

    const std::string old = "kept";
    protocol::EndpointAssumptions decodeAs;
    decodeAs.set(1, 1, protocol::Direction::In, {protocol::AssumedKind::Bulk, true});
    enum Outcome { Dropped, Stopped, Written };
    const struct {
        const char* what;
        std::function<void()> act;
        Outcome outcome;
    } acts[] = {
        {"cancel", [&] { session.cancelSave(Saved); }, Dropped},
        {"Decode As", [&] { session.assume(decodeAs); }, Stopped},
        {"reload", [&] { session.reload(); }, Stopped},
        {"the other fold", [&] { session.prepareTransfers(true); }, Written},
    };
    for (const auto& c : acts) {
        SCOPED_TRACE(c.what);
        session.assume({});
        ASSERT_TRUE(session.reload().ok());
        { std::ofstream(target, std::ios::binary | std::ios::trunc) << old; }
        session.startSaveTransfers(target, false, {}, false);
        ASSERT_NE(session.backgroundSave(Saved), nullptr);
        RunUntil([&] {
            return session.backgroundSave(Saved)->done() > 0 ||
                   session.backgroundSave(Saved)->finished();
        });
        if (session.backgroundSave(Saved)->finished()) {
            GTEST_SKIP() << "the save ended before it could be stopped";
        }
        c.act();
        if (c.outcome != Dropped) {
            RunUntil([&] { return session.backgroundSave(Saved)->finished(); });
            const std::optional<capture::PcapResult> result = session.finishSave(Saved);
            ASSERT_TRUE(result);
            EXPECT_EQ(result->status, c.outcome == Written ? capture::PcapStatus::Ok
                                                           : capture::PcapStatus::Stopped);
        }
        EXPECT_EQ(session.backgroundSave(Saved), nullptr);
        if (c.outcome == Written) {
            ASSERT_TRUE(session.saveTransfers(expected, false, {}, false).ok());
            EXPECT_EQ(test::ReadBytes(target), test::ReadBytes(expected));
        } else {
            EXPECT_EQ(test::ReadBytes(target), std::vector<std::uint8_t>(old.begin(), old.end()));
        }
        const auto beside = std::distance(std::filesystem::directory_iterator(dir.path()),
                                          std::filesystem::directory_iterator());
        EXPECT_EQ(beside, 3); // the capture, the expected view and the target
        session.stopPreparing();
    }
}

// A save never replaces what is not a regular file, says why one cannot be written, and a
// stop asked for before it begins leaves nothing; each leaves the target as it was.
TEST(CaptureSession, AViewSaveThatFailsOrStopsLeavesTheTargetAlone) {
    test::TempDir dir;
    CaptureSession session;
    ASSERT_TRUE(session.open(Data("fs-badge.dat")).ok());
    const std::vector<protocol::DeviceInfo>& devices = session.devices().devices();
    ASSERT_FALSE(devices.empty());
    const std::string kept = dir.write("kept.txt", std::vector<std::uint8_t>{'k'});
    std::filesystem::create_directory(dir.path() / "folder");
    capture::PcapProgress stopped;
    stopped.stop = true;
    const struct {
        std::string target;
        capture::PcapProgress* progress;
        capture::PcapStatus status;
        bool named; // the result names the target and says why
    } cases[] = {
        {(dir.path() / "folder").string(), nullptr, capture::PcapStatus::TargetNotRegular, true},
        {(dir.path() / "missing" / "x.txt").string(), nullptr, capture::PcapStatus::CannotWrite,
         true},
        {kept, &stopped, capture::PcapStatus::Stopped, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        const capture::PcapResult result =
            SaveDeviceView(c.target, devices, nullptr, false, c.progress);
        EXPECT_EQ(result.status, c.status);
        if (c.named) {
            EXPECT_EQ(result.file, c.target);
            EXPECT_FALSE(result.reason.empty());
        }
    }
    EXPECT_EQ(test::ReadBytes(kept), std::vector<std::uint8_t>{'k'});
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "folder"));
    const auto entries = std::distance(std::filesystem::directory_iterator(dir.path()),
                                       std::filesystem::directory_iterator());
    EXPECT_EQ(entries, 2); // the folder and kept.txt: no temporary file left
}

// Decode As belongs to the file: reopening it keeps what was assumed, another file starts
// without; a change drops the indexes (the workers' too) and is told as a store change.
TEST(CaptureSession, AssumptionsAreKeptPerFileAndRebuildTheIndexes) {
    CaptureSession session;
    ASSERT_TRUE(session.open(Data("ls-mouse.dat")).ok());
    const auto& before = session.transfers(true);
    const auto report = std::find_if(before.begin(), before.end(), [](const auto& item) {
        return item.type == TransferType::Interrupt;
    });
    ASSERT_NE(report, before.end());
    const std::size_t at = static_cast<std::size_t>(report - before.begin());
    protocol::EndpointAssumptions bulk;
    // Insisted: the capture describes the endpoint as interrupt.
    bulk.set(report->address, report->endpoint, report->direction,
             {protocol::AssumedKind::Bulk, true});

    test::SessionEvents events(session);
    session.prepareTransfers(true);
    session.assume(bulk);
    EXPECT_EQ(events.take(), Lines{"store"});
    EXPECT_FALSE(session.preparing());
    EXPECT_FALSE(session.hasIndexes());
    EXPECT_EQ(session.transfers(true)[at].type, TransferType::Bulk);
    session.assume(bulk);
    EXPECT_EQ(events.take(), Lines{});

    CaptureSession worker;
    ASSERT_TRUE(worker.open(Data("ls-mouse.dat")).ok());
    worker.assume(bulk);
    worker.prepareTransfers(true);
    ASSERT_TRUE(WaitForPrepared(worker));
    EXPECT_EQ(worker.transferList(true)[at].type, TransferType::Bulk);

    ASSERT_TRUE(session.open(Data("fs-badge.dat")).ok());
    EXPECT_TRUE(session.assumptions().empty());
    // The same file by another name.
    ASSERT_TRUE(session.open(Data("../data/ls-mouse.dat")).ok());
    EXPECT_EQ(session.assumptions(), bulk);
    EXPECT_EQ(session.transfers(true)[at].type, TransferType::Bulk);
    session.assume({});
    EXPECT_EQ(session.transfers(true)[at].type, TransferType::Interrupt);
}

// Who follows the cursor learns who moved it; a search from the cursor starts where it stands,
// or past the end once it found the last record, until the cursor is set again.
TEST(CaptureSession, CursorAndSearchResumption) {
    CaptureSession session;
    test::SessionEvents events(session);
    session.replaceStore(test::BusSequence("SOF 1, SOF 2, SOF 3, SOF 4"), {}, "four.dat");
    events.take();
    EXPECT_EQ(session.cursor(), std::nullopt);
    session.announceCursor(CursorFrom::PacketList); // no cursor, nothing to tell
    session.moveCursor(4, CursorFrom::Transfers);   // past the end: ignored
    EXPECT_EQ(events.take(), Lines{});

    using Step = std::function<void()>;
    const struct {
        const char* what;
        Step step;
        std::optional<std::size_t> cursor;
        std::size_t searchFrom; // where a search from the cursor would start
        Lines told;
    } steps[] = {
        {"a search without a cursor starts at the first record",
         [&] { EXPECT_EQ(session.searchStart(), 0u); },
         0,
         0,
         {}},
        {"a match: the cursor goes to the next record",
         [&] { session.searchFound(1); },
         2,
         2,
         {"cursor 2 search"}},
        {"a match on the last record: the cursor stays on it",
         [&] { session.searchFound(3); },
         3,
         4,
         {"cursor 3 search"}},
        {"shown again: the search still resumes past it",
         [&] { session.announceCursor(CursorFrom::PacketList); },
         3,
         4,
         {"cursor 3 list"}},
        {"set on the same record: the search examines it again",
         [&] { session.moveCursor(3, CursorFrom::PacketList); },
         3,
         3,
         {"cursor 3 list"}},
        {"a device row",
         [&] { session.moveCursor(1, CursorFrom::Devices); },
         1,
         1,
         {"cursor 1 devices"}},
        {"the list rebuilt over the same store",
         [&] { session.dropCursor(); },
         std::nullopt,
         0,
         {}},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        s.step();
        EXPECT_EQ(session.cursor(), s.cursor);
        EXPECT_EQ(events.take(), s.told);
        if (s.cursor) {
            EXPECT_EQ(session.searchStart(), s.searchFrom);
        }
    }
}

// A listener that leaves while it is told, or removes another, is told nothing more; the
// others still are.
TEST(CaptureSession, ListenersMayLeaveWhileTold) {
    struct Leaving : SessionListener {
        CaptureSession* session = nullptr;
        SessionListener* other = nullptr;
        int told = 0;
        void storeChanged() override {
            ++told;
            session->removeListener(*other);
            session->removeListener(*this);
        }
    };
    CaptureSession session;
    Leaving leaving;
    leaving.session = &session;
    session.addListener(leaving);
    test::SessionEvents removed(session); // told after `leaving`, which removes it first
    test::SessionEvents stays(session);
    leaving.other = &removed;
    session.clear();
    session.clear();
    EXPECT_EQ(leaving.told, 1);
    EXPECT_EQ(removed.take(), Lines{});
    EXPECT_EQ(stays.take(), (Lines{"store", "store"}));
}

} // namespace
} // namespace vintrace::session
