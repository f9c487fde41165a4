// Opening and saving ".4810" files through the document, and the document's state around them.
#include "document_fixture.h"

#include "hart/config_file.h"
#include "hart/strings.h"
#include "temp_dir.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iterator>

namespace zelhart::hart {
namespace {

using testing::DocumentTest;
using zelhart::testing::TempDir;

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
}

class DocumentFileTest : public DocumentTest {
  protected:
    // Edits every configuration field the file holds.
    void Edit() {
        CTransmitter& m = t();
        m.SetTag(u"TT-42");
        m.SetSensorType(14);
        m.SetSensorConnection(2);
        m.SetRangeUnits(33);
        m.SetLowerRange(-10.0f);
        m.SetUpperRange(500.0f);
        m.SetDamping(2.5f);
        m.SetAlarmType(1);
        m.SetLowAlarm(3.6f);
        m.SetHighAlarm(21.0f);
        m.SetLowSaturation(3.8f);
        m.SetHighSaturation(20.5f);
        m.SetFilter(1);
        m.SetWriteProtect(0);
        m.SetArmature(2, 3);
        m.SetHead(1);
        m.SetCableEntry(2);
        m.SetExecution(5);
        m.SetMountingLength(500);
        m.SetAssemblyDate(18, 6, 124);
        m.SetThermometerSerial(123456);
    }
    std::vector<int> Ids() const { return ui.Ids(); }

    TempDir dir;
};

TEST_F(DocumentFileTest, AClearedDocumentSavedAndReopenedIsAllNotSet) {
    doc->OnNewDocument();
    const CTransmitterModel cleared = t();
    const std::string path = dir / "empty.4810";
    ASSERT_TRUE(doc->OnSaveDocument(path));
    const std::vector<uint8_t> bytes = ReadAll(path);
    ASSERT_EQ(bytes.size(), 103u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 8),
              (std::vector<uint8_t>{0x51, 0x92, 0x68, 0x54, 0x42, 0x01, 0x00, 0x00}));

    Edit();
    ASSERT_TRUE(doc->OnOpenDocument(path));
    EXPECT_EQ(t().DifferentFields(cleared), std::vector<std::string>{});
    EXPECT_TRUE(t().GetTag().empty());
    EXPECT_EQ(t().GetSensorType(), kSensorNone);
    EXPECT_TRUE(IsNotSet(t().GetLowerRange()));
    EXPECT_EQ(t().GetFilter(), kCodeNotSet);
    EXPECT_EQ(doc->GetPathName(), path);
    EXPECT_FALSE(doc->IsModified());
    EXPECT_EQ(doc->GetCleared(), 0); // a loaded file counts as data, even an empty one
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(DocumentFileTest, AFileKeepsTheConfigurationAndNothingElse) {
    Edit();
    t().SetMeasuredValue(36.6f); // read from a transmitter, not kept in files
    const std::string path = dir / "sensor.4810";
    ASSERT_TRUE(doc->OnSaveDocument(path));
    EXPECT_FALSE(doc->IsModified());
    const CTransmitterModel saved = t();

    doc->OnNewDocument();
    ASSERT_TRUE(doc->OnOpenDocument(path));
    EXPECT_EQ(t().DifferentFields(saved), (std::vector<std::string>{"m_limitUnits", "m_measuredValue"}));
    EXPECT_EQ(t().GetLimitUnits(), 33); // the range units
    EXPECT_EQ(t().GetTag(), u"TT-42");
    EXPECT_EQ(t().GetThermometerSerial(), 123456);
}

TEST_F(DocumentFileTest, OtherVersionsAreRefusedWithMessage910) {
    doc->OnNewDocument();
    const std::string good = dir / "good.4810";
    Edit();
    ASSERT_TRUE(doc->OnSaveDocument(good));
    for (uint8_t version : {0x41, 0x43}) { // 321, 323
        std::vector<uint8_t> bytes = ReadAll(good);
        bytes[4] = version;
        const std::string path = dir / "other.4810";
        WriteAll(path, bytes);
        Edit();
        ui.shown.clear();
        EXPECT_FALSE(doc->OnOpenDocument(path));
        ASSERT_EQ(Ids(), (std::vector<int>{str::kFileVersionIncompatible, str::kFailedToOpenDocument}));
        EXPECT_EQ(ui.shown[0].text, "Версия файла несовместима с версией программы.");
        EXPECT_EQ(ui.shown[0].icon, MessageIcon::Stop);
        // Left a new, empty document.
        EXPECT_TRUE(t().GetTag().empty());
        EXPECT_EQ(t().GetSensorType(), kSensorNone);
        EXPECT_EQ(doc->GetCleared(), 1);
        EXPECT_TRUE(doc->GetPathName().empty());
        EXPECT_FALSE(doc->IsModified());
    }
}

TEST_F(DocumentFileTest, TruncatedOversizedAndForeignFiles) {
    Edit();
    const std::string good = dir / "good.4810";
    ASSERT_TRUE(doc->OnSaveDocument(good));
    const std::vector<uint8_t> image = ReadAll(good);

    const std::string truncated = dir / "short.4810";
    WriteAll(truncated, std::vector<uint8_t>(image.begin(), image.end() - 1));
    EXPECT_FALSE(doc->OnOpenDocument(truncated));
    EXPECT_EQ(Ids(), std::vector<int>{str::kUnexpectedFileFormat});
    EXPECT_EQ(ui.shown[0].text, "Unexpected file format.");
    EXPECT_EQ(t().GetSensorType(), kSensorNone);

    // Bytes after the image are ignored.
    std::vector<uint8_t> longer = image;
    longer.insert(longer.end(), 4096, 0xAB);
    const std::string oversized = dir / "long.4810";
    WriteAll(oversized, longer);
    ui.shown.clear();
    EXPECT_TRUE(doc->OnOpenDocument(oversized));
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_EQ(t().GetTag(), u"TT-42");

    std::vector<uint8_t> foreign = image;
    foreign[0] = 0x50;
    const std::string other = dir / "foreign.4810";
    WriteAll(other, foreign);
    EXPECT_FALSE(doc->OnOpenDocument(other));
    EXPECT_EQ(Ids(), std::vector<int>{str::kUnexpectedFileFormat});

    ui.shown.clear();
    EXPECT_FALSE(doc->OnOpenDocument(dir / "missing.4810"));
    EXPECT_EQ(Ids(), std::vector<int>{str::kFailedToOpenDocument});
}

TEST_F(DocumentFileTest, AFailedSaveKeepsThePreviousFile) {
    Edit();
    const std::string path = dir / "sensor.4810";
    ASSERT_TRUE(doc->OnSaveDocument(path));
    const std::vector<uint8_t> before = ReadAll(path);
    t().SetTag(u"CHANGED");
    ASSERT_TRUE(doc->IsModified());

    // A file size limit below the image makes the write fail half-way; the child reports what the
    // document did.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{50, 50};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const bool saved = doc->OnSaveDocument(path);
        const bool reported = ui.Ids() == std::vector<int>{str::kFailedToSaveDocument};
        ::_exit(!saved && reported && doc->IsModified() && doc->GetPathName() == path ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadAll(path), before);

    // Saving where no file can be made: the message, and nothing changes.
    EXPECT_FALSE(doc->OnSaveDocument(dir / "no/such/dir.4810"));
    EXPECT_EQ(Ids(), std::vector<int>{str::kFailedToSaveDocument});
    EXPECT_EQ(doc->GetPathName(), path);
    EXPECT_TRUE(doc->IsModified());
}

TEST_F(DocumentFileTest, FileErrorsNameThePathAndTheSystemsReason) {
    const std::string file = dir / "a.4810";
    ASSERT_TRUE(doc->OnSaveDocument(file));
    struct Case {
        std::string path;
        int error;
        bool canSave;
    };
    const Case cases[] = {
        {dir / "missing.4810", ENOENT, true},
        {dir.path(), EISDIR, false},
        {file + "/x.4810", ENOTDIR, false},
        {dir / "no/such/dir.4810", ENOENT, false},
    };
    auto expected = [](int id, const Case& k) {
        return std::string(LoadString(id)) + "\n" + k.path + ": " + std::system_category().message(k.error);
    };
    for (const Case& k : cases) {
        ui.shown.clear();
        EXPECT_FALSE(doc->OnOpenDocument(k.path));
        ASSERT_EQ(Ids(), std::vector<int>{str::kFailedToOpenDocument});
        EXPECT_EQ(ui.shown[0].text, expected(str::kFailedToOpenDocument, k));
        if (k.canSave) continue;

        // A save is checked before anything is read for it, and fails with the same reason.
        ui.shown.clear();
        EXPECT_FALSE(doc->CheckSavePath(k.path));
        EXPECT_FALSE(doc->OnSaveDocument(k.path));
        ASSERT_EQ(Ids(), (std::vector<int>{str::kFailedToSaveDocument, str::kFailedToSaveDocument}));
        EXPECT_EQ(ui.shown[0].text, expected(str::kFailedToSaveDocument, k));
        EXPECT_EQ(ui.shown[1].text, expected(str::kFailedToSaveDocument, k));
    }
    ui.shown.clear();
    EXPECT_TRUE(doc->CheckSavePath(file));
    EXPECT_TRUE(doc->CheckSavePath(dir / "new.4810"));
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_FALSE(std::filesystem::exists(dir / "new.4810")); // a check writes nothing
}

TEST_F(DocumentFileTest, SaveEnablingAndTheDataLossRule) {
    doc->OnNewDocument();
    EXPECT_TRUE(doc->CanSave()); // never saved
    EXPECT_FALSE(doc->WouldLoseData());

    t().SetDamping(NotANumber); // no change: nothing marked
    EXPECT_FALSE(doc->IsModified());
    t().SetDamping(1.0f);
    EXPECT_TRUE(doc->IsModified());
    EXPECT_TRUE(doc->WouldLoseData());
    EXPECT_EQ(hints.back(), kHintCleared);

    const std::string path = dir / "a.4810";
    ASSERT_TRUE(doc->OnSaveDocument(path));
    ASSERT_TRUE(doc->OnOpenDocument(path));
    EXPECT_FALSE(doc->CanSave());      // opened and unchanged
    EXPECT_TRUE(doc->WouldLoseData()); // holding data: unsent, if not unsaved
    t().SetFilter(0);
    EXPECT_TRUE(doc->CanSave());
}

} // namespace
} // namespace zelhart::hart
