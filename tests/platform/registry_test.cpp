#include "platform/registry.h"

#include "platform/last_error.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace platform {
namespace {

constexpr Hive LM = Hive::LocalMachine;
constexpr const char* kRs = "SOFTWARE\\KAVEX\\ZEMRA\\RS";

std::string Numbered(const char* prefix, size_t i)
{
    std::string name = prefix;
    name += std::to_string(i);
    return name;
}

class RegistryTest : public ::testing::Test
{
protected:
    std::string Path() const { return dir_.File("registry.reg"); }
    std::unique_ptr<RegistryFile> Open() const
    {
        auto reg = std::make_unique<RegistryFile>(Path());
        reg->SetDeviceScan(nullptr);
        return reg;
    }
    test::TempDir dir_;
};

TEST_F(RegistryTest, EachValueTypeRoundTripsThroughTheFile)
{
    const std::vector<std::string> strings = {"", "ObmenEthernet", "a\\b\\\\c", "say \"hi\"", "Т4700-КЛВ №5",
                                              "trailing\\"};
    const std::vector<int32_t> dwords = {0, 30, -1, INT_MAX, INT_MIN};
    std::vector<uint8_t> long_bytes(300);
    for (size_t i = 0; i < long_bytes.size(); ++i)
        long_bytes[i] = static_cast<uint8_t>(i * 7);
    const std::vector<std::vector<uint8_t>> binaries = {{}, {0, 0, 0, 0}, {0xFF, 0x0D, 0x0A}, long_bytes};
    {
        auto reg = Open();
        for (size_t i = 0; i < strings.size(); ++i)
            ASSERT_TRUE(reg->WriteString(LM, kRs, Numbered("s", i), strings[i]));
        for (size_t i = 0; i < dwords.size(); ++i)
            ASSERT_TRUE(reg->WriteDword(LM, kRs, Numbered("d", i), dwords[i]));
        for (size_t i = 0; i < binaries.size(); ++i)
            ASSERT_TRUE(reg->WriteBinary(LM, kRs, Numbered("b", i), binaries[i]));
    }
    auto reg = Open(); // a fresh object reads only what reached the file
    for (size_t i = 0; i < strings.size(); ++i)
        EXPECT_EQ(reg->ReadString(LM, kRs, Numbered("s", i)), strings[i]);
    for (size_t i = 0; i < dwords.size(); ++i)
        EXPECT_EQ(reg->ReadDword(LM, kRs, Numbered("d", i)), dwords[i]);
    for (size_t i = 0; i < binaries.size(); ++i)
        EXPECT_EQ(reg->ReadBinary(LM, kRs, Numbered("b", i)), binaries[i]);
    const std::string text = test::ReadBytes(Path());
    EXPECT_TRUE(text.starts_with("Windows Registry Editor Version 5.00\r\n")) << text;
    EXPECT_NE(text.find("\"d1\"=dword:0000001e\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"s3\"=\"say \\\"hi\\\"\"\r\n"), std::string::npos) << text;
}

TEST_F(RegistryTest, ValuesOfAnotherTypeCountAsMissing)
{
    auto reg = Open();
    ASSERT_TRUE(reg->WriteString(LM, kRs, "TimeoutConstant", "50"));
    ASSERT_TRUE(reg->WriteDword(LM, kRs, "WORKTYPE", 1));
    ASSERT_TRUE(reg->WriteBinary(LM, kRs, "Settings", {1, 2, 3, 4}));
    EXPECT_EQ(reg->ReadDword(LM, kRs, "TimeoutConstant"), std::nullopt);
    EXPECT_EQ(reg->ReadBinary(LM, kRs, "TimeoutConstant"), std::nullopt);
    EXPECT_EQ(reg->ReadString(LM, kRs, "WORKTYPE"), std::nullopt);
    EXPECT_EQ(reg->ReadDword(LM, kRs, "Settings"), std::nullopt);
    EXPECT_TRUE(reg->ValueExists(LM, kRs, "WORKTYPE")); // presence switches see any type
    EXPECT_FALSE(reg->ValueExists(LM, kRs, "LogCommand"));
}

TEST_F(RegistryTest, NamesIgnoreCaseAndLeadingBackslashAndKeepInsertionOrder)
{
    auto reg = Open();
    ASSERT_TRUE(reg->WriteDword(LM, "\\Software\\KAVEX\\ZEMRA\\RS", "StartTimeout", 4));
    ASSERT_TRUE(reg->WriteDword(LM, kRs, "TailInUS", 400));
    ASSERT_TRUE(reg->WriteDword(LM, "software\\kavex\\zemra\\rs", "AllPause", 1));
    ASSERT_TRUE(reg->WriteDword(LM, kRs, "STARTTIMEOUT", 9)); // same value, keeps its place and spelling
    ASSERT_TRUE(reg->WriteString(LM, "SOFTWARE\\KAVEX\\Путь", "Имя", "x"));

    EXPECT_EQ(reg->ValueNames(LM, "\\SOFTWARE\\kavex\\ZEMRA\\rs"),
              (std::vector<std::string>{"StartTimeout", "TailInUS", "AllPause"}));
    EXPECT_EQ(reg->ReadDword(LM, kRs, "starttimeout"), 9);
    EXPECT_EQ(reg->ReadString(LM, "software\\kavex\\ПУТЬ", "имя"), "x");
    EXPECT_EQ(reg->SubKeys(LM, "software\\KAVEX"), (std::vector<std::string>{"ZEMRA", "Путь"}));
    EXPECT_FALSE(reg->KeyExists(Hive::CurrentUser, kRs)); // hives are apart
    EXPECT_EQ(test::ReadBytes(Path()).find("[HKEY_LOCAL_MACHINE\\software"), std::string::npos);
}

TEST_F(RegistryTest, KeysAndDeletion)
{
    auto reg = Open();
    EXPECT_FALSE(reg->KeyExists(LM, kRs));
    EXPECT_TRUE(reg->KeyExists(LM, ""));
    ASSERT_TRUE(reg->CreateKey(LM, std::string(kRs) + "\\PORT3"));
    EXPECT_TRUE(reg->KeyExists(LM, kRs)); // parents exist with their children
    EXPECT_TRUE(reg->KeyExists(LM, "SOFTWARE"));
    EXPECT_FALSE(reg->KeyExists(LM, "SOFTWARE\\KAV"));
    ASSERT_TRUE(reg->WriteString(LM, kRs, "WORKTYPE", "ObmenXMLRPC"));
    ASSERT_TRUE(reg->WriteString(LM, std::string(kRs) + "\\PORT3", "WORKTYPE", "ObmenEthernet"));
    ASSERT_TRUE(reg->WriteString(LM, "SOFTWARE\\KAVEX\\ZEMRA_PRO", "Path", "/opt"));
    EXPECT_EQ(reg->SubKeys(LM, "SOFTWARE\\KAVEX"), (std::vector<std::string>{"ZEMRA", "ZEMRA_PRO"}));

    EXPECT_TRUE(reg->DeleteValue(LM, kRs, "worktype"));
    EXPECT_FALSE(reg->DeleteValue(LM, kRs, "worktype"));
    EXPECT_FALSE(reg->ValueExists(LM, kRs, "WORKTYPE"));
    EXPECT_TRUE(reg->DeleteKey(LM, "SOFTWARE\\KAVEX\\ZEMRA"));
    EXPECT_FALSE(reg->DeleteKey(LM, "SOFTWARE\\KAVEX\\ZEMRA"));
    EXPECT_FALSE(reg->KeyExists(LM, std::string(kRs) + "\\PORT3"));
    EXPECT_EQ(Open()->ReadString(LM, "SOFTWARE\\KAVEX\\ZEMRA_PRO", "Path"), "/opt");
}

TEST_F(RegistryTest, MalformedLinesAreReportedOnceAndNothingIsLost)
{
    const std::string fixture = "REGEDIT4\n"
                                "\"orphan\"=\"before any key\"\n"                        // line 2: bad
                                "\n"
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KAVEX\\ZEMRA\\RS]\n"
                                "; a comment\r\n"
                                "\"SpeedRSS\"=dword:00002580\n"
                                "\"Bad\"=dword:xyz\n"                                    // bad
                                "\"Unterminated\"=\"abc\n"                               // bad
                                "\"Settings\"=hex:01,02,\\\n"
                                "  03,04\n"
                                "@=\"default\"\n"
                                "\"Expand\"=hex(2):25,00,00,00\n"
                                "[not a key]\n"                                          // bad
                                "\"LogCommand\"=\"\"\n"
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\n"
                                "\"x\"=\"y\"\n"
                                "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\n";
    test::WriteBytes(Path(), fixture);
    auto reg = Open();
    testing::internal::CaptureStderr();
    EXPECT_EQ(reg->ReadDword(LM, kRs, "SpeedRSS"), 9600);
    EXPECT_EQ(reg->ReadBinary(LM, kRs, "Settings"), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(reg->ReadString(LM, kRs, ""), "default");
    EXPECT_EQ(reg->ReadString(LM, kRs, "Expand"), std::nullopt);
    EXPECT_TRUE(reg->ValueExists(LM, kRs, "Expand"));
    EXPECT_TRUE(reg->ValueExists(LM, kRs, "LogCommand"));
    EXPECT_FALSE(reg->ValueExists(LM, kRs, "Bad"));
    EXPECT_FALSE(reg->KeyExists(LM, "SOFTWARE\\Gone"));
    EXPECT_EQ(reg->ValueNames(LM, kRs),
              (std::vector<std::string>{"SpeedRSS", "Settings", "", "Expand", "LogCommand"}));
    ASSERT_TRUE(reg->WriteDword(LM, kRs, "TailInUS", 400)); // reloads and saves: no second report
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(Path() + ":2:"), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;

    // The save keeps every line that was not understood, and the values that were.
    const std::string saved = test::ReadBytes(Path());
    for (const char* kept : {"\"orphan\"=\"before any key\"", "; a comment", "\"Bad\"=dword:xyz",
                             "\"Unterminated\"=\"abc", "[not a key]", "\"Expand\"=hex(2):25,00,00,00"})
        EXPECT_NE(saved.find(kept), std::string::npos) << kept << "\n" << saved;
    auto again = Open();
    testing::internal::CaptureStderr();
    EXPECT_EQ(again->ReadBinary(LM, kRs, "Settings"), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(again->ReadDword(LM, kRs, "TailInUS"), 400);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("malformed"), std::string::npos);
}

// Later lines of the file act on what earlier ones made: a deleted value that comes back goes to
// the end, a removed key takes the keys below it along (and only those), and a key written again
// after its removal starts empty.
TEST_F(RegistryTest, LaterLinesDeleteAndRemoveWhatEarlierOnesMade)
{
    test::WriteBytes(Path(), "REGEDIT4\n"
                             "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"1\"\n\"y\"=\"2\"\n\"X\"=-\n"
                             "[HKEY_LOCAL_MACHINE\\A\\B]\n\"z\"=\"3\"\n"
                             "[HKEY_LOCAL_MACHINE\\A!]\n\"w\"=\"4\"\n"
                             "[HKEY_LOCAL_MACHINE\\a]\n\"y\"=\"two\"\n\"x\"=\"again\"\n"
                             "[HKEY_LOCAL_MACHINE\\Gone]\n\"g\"=\"1\"\n"
                             "[HKEY_LOCAL_MACHINE\\Gone\\Deep]\n\"d\"=\"1\"\n"
                             "[HKEY_LOCAL_MACHINE\\Gone!]\n\"s\"=\"1\"\n"
                             "[-HKEY_LOCAL_MACHINE\\GONE]\n"
                             "[HKEY_LOCAL_MACHINE\\Gone]\n\"back\"=\"1\"\n");
    auto reg = Open();
    EXPECT_EQ(reg->ValueNames(LM, "A"), (std::vector<std::string>{"y", "x"}));
    EXPECT_EQ(reg->ReadString(LM, "A", "y"), "two");
    EXPECT_EQ(reg->ReadString(LM, "A", "x"), "again");
    EXPECT_EQ(reg->ReadString(LM, "A\\B", "z"), "3");
    EXPECT_EQ(reg->ReadString(LM, "A!", "w"), "4");
    EXPECT_EQ(reg->ValueNames(LM, "Gone"), std::vector<std::string>{"back"});
    EXPECT_FALSE(reg->KeyExists(LM, "Gone\\Deep"));
    EXPECT_EQ(reg->ReadString(LM, "Gone!", "s"), "1");
}

TEST_F(RegistryTest, ALineEndingInABackslashTakesOnlyHexBytesAlong)
{
    // Each fixture: a line that ends in a backslash, and after it what must stay its own line.
    const std::string rs = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KAVEX\\ZEMRA\\RS]\n";
    const struct
    {
        const char* what;
        std::string text;
    } cases[] = {
        {"a bad value, then a value", rs + "\"Broken\"=hex:zz,\\\n\"SpeedRSS\"=dword:00002580\n"
                                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"x\"=\"y\"\n"},
        {"a value without its last line, then a key",
         rs + "\"SpeedRSS\"=dword:00002580\n\"Cut\"=hex:01,\\\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n"
              "\"x\"=\"y\"\n"},
        {"no name, then a blank line and a key",
         rs + "\"SpeedRSS\"=dword:00002580\n=hex\\\\\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"x\"=\"y\"\n"},
        {"a bad value, a blank line and a bad line of hex bytes",
         rs + "\"SpeedRSS\"=dword:00002580\n\"Cut\"=hex:\\\n\nff\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"x\"=\"y\"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::WriteBytes(Path(), "REGEDIT4\n" + c.text);
        testing::internal::CaptureStderr();
        {
            auto reg = Open();
            EXPECT_EQ(reg->ReadDword(LM, kRs, "SpeedRSS"), 9600);
            EXPECT_EQ(reg->ReadString(LM, "SOFTWARE\\Other", "x"), "y");
            // The new value goes right after the kept bad line.
            ASSERT_TRUE(reg->WriteDword(LM, kRs, "TailInUS", 400));
        }
        auto again = Open();
        EXPECT_EQ(again->ReadDword(LM, kRs, "SpeedRSS"), 9600);
        EXPECT_EQ(again->ReadDword(LM, kRs, "TailInUS"), 400);
        EXPECT_EQ(again->ReadString(LM, "SOFTWARE\\Other", "x"), "y");
        EXPECT_EQ(again->ValueNames(LM, "SOFTWARE\\Other"), std::vector<std::string>{"x"});
        EXPECT_EQ(again->ValueNames(LM, kRs), (std::vector<std::string>{"SpeedRSS", "TailInUS"}));
        testing::internal::GetCapturedStderr();
    }
}

TEST_F(RegistryTest, AValueOfManyContinuationLinesReadsInLinearTime)
{
    // 10^5 lines of 64 bytes each (6.4 MB).  Joining the lines by copying the value so far for
    // each one takes minutes; joining them once takes about a second, so the generous ceiling
    // below holds on any loaded machine.
    constexpr size_t kLines = 100000;
    constexpr size_t kPerLine = 64;
    std::vector<uint8_t> expected;
    expected.reserve(kLines * kPerLine);
    std::string text = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KAVEX\\ZEMRA\\RS]\r\n\"Long\"=hex:";
    text.reserve(kLines * kPerLine * 3 + 100);
    static const char kHex[] = "0123456789abcdef";
    for (size_t line = 0; line < kLines; ++line) {
        if (line > 0)
            text += "  ";
        for (size_t i = 0; i < kPerLine; ++i) {
            const auto b = static_cast<uint8_t>(line * 7 + i);
            expected.push_back(b);
            text += kHex[b >> 4];
            text += kHex[b & 15];
            if (line + 1 < kLines || i + 1 < kPerLine)
                text += ',';
        }
        text += line + 1 < kLines ? "\\\r\n" : "\r\n";
    }
    text += "\"SpeedRSS\"=dword:00002580\r\n";
    test::WriteBytes(Path(), text);

    const auto start = std::chrono::steady_clock::now();
    auto reg = Open();
    const auto value = reg->ReadBinary(LM, kRs, "Long");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(value.has_value());
    EXPECT_TRUE(*value == expected) << "read " << value->size() << " bytes";
    EXPECT_EQ(reg->ReadDword(LM, kRs, "SpeedRSS"), 9600);
    EXPECT_LT(elapsed, std::chrono::seconds(30));
}

TEST_F(RegistryTest, ChangesByAnotherWriterAreSeen)
{
    auto a = Open();
    auto b = Open();
    EXPECT_EQ(a->ReadDword(LM, kRs, "SpeedRSS"), std::nullopt);
    ASSERT_TRUE(b->WriteDword(LM, kRs, "SpeedRSS", 19200));
    EXPECT_EQ(a->ReadDword(LM, kRs, "SpeedRSS"), 19200);
    test::WriteBytes(Path(), "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KAVEX\\ZEMRA\\RS]\n\"SpeedRSS\"=dword:1\n");
    EXPECT_EQ(a->ReadDword(LM, kRs, "SpeedRSS"), 1);
}

TEST_F(RegistryTest, UnsafeNamesAreRefusedAndTheFileIsUntouched)
{
    auto reg = Open();
    ASSERT_TRUE(reg->WriteString(LM, kRs, "a", "1"));
    const std::string before = test::ReadBytes(Path());
    EXPECT_FALSE(reg->WriteString(LM, kRs, "b", "line\r\n[HKEY_LOCAL_MACHINE\\X]"));
    EXPECT_FALSE(reg->WriteString(LM, kRs, "b\n", "1"));
    EXPECT_FALSE(reg->WriteString(LM, "SOFTWARE\\\\Empty", "b", "1"));
    EXPECT_FALSE(reg->CreateKey(LM, "A\nB"));
    EXPECT_EQ(test::ReadBytes(Path()), before);
}

// Runs body in a child process without the right to write the directory; returns its status.
template <typename Body> int InChildWithoutWriteAccess(const std::string& dir, Body body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0) {
            // Root writes anywhere; a plain user does not.
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(90);
        } else {
            chmod(dir.c_str(), 0555);
        }
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    chmod(dir.c_str(), 0755);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

TEST_F(RegistryTest, UnwritableFileStillReads)
{
    {
        auto reg = Open();
        ASSERT_TRUE(reg->WriteString(LM, kRs, "WORKTYPE", "ObmenComPort"));
    }
    chmod(dir_.Path().c_str(), 0755);
    chmod(Path().c_str(), 0644);
    chmod((Path() + ".lock").c_str(), 0644);
    const std::string before = test::ReadBytes(Path());
    const int status = InChildWithoutWriteAccess(dir_.Path(), [&] {
        RegistryFile reg(Path());
        reg.SetDeviceScan(nullptr);
        if (reg.ReadString(LM, kRs, "WORKTYPE") != "ObmenComPort")
            return 1;
        if (reg.WriteString(LM, kRs, "WORKTYPE", "x") || reg.WriteDword(LM, kRs, "d", 1) || reg.CreateKey(LM, "K"))
            return 2;
        if (reg.DeleteValue(LM, kRs, "WORKTYPE") || reg.DeleteKey(LM, kRs))
            return 3;
        if (reg.ReadString(LM, kRs, "WORKTYPE") != "ObmenComPort")
            return 4;
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(test::ReadBytes(Path()), before);
}

// A file one byte beyond the cap is not read: it reads as empty, every change is refused with
// the last error saying why, and the file stays as it was; one at the cap is read.
TEST_F(RegistryTest, AFileBeyondTheCapIsRefusedAndKept)
{
    std::string text = std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\") + kRs + "]\n\"WORKTYPE\"=\"x\"\n;";
    text.resize(kMaxRegistryFileBytes + 1, 'x'); // the rest is one long comment
    test::WriteBytes(Path(), text);
    auto reg = Open();
    testing::internal::CaptureStderr();
    EXPECT_EQ(reg->ReadString(LM, kRs, "WORKTYPE"), std::nullopt);
    EXPECT_FALSE(reg->KeyExists(LM, kRs));
    SetLastError(kErrorSuccess);
    EXPECT_FALSE(reg->WriteString(LM, kRs, "WORKTYPE", "y"));
    EXPECT_EQ(LastError(), kErrorFileTooLarge);
    EXPECT_FALSE(reg->WriteDword(LM, kRs, "d", 1));
    EXPECT_FALSE(reg->CreateKey(LM, "SOFTWARE\\New"));
    EXPECT_FALSE(reg->DeleteValue(LM, kRs, "WORKTYPE"));
    EXPECT_FALSE(reg->DeleteKey(LM, kRs));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(Path()), std::string::npos) << err;
    EXPECT_NE(err.find("larger than"), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err; // reported once
    EXPECT_EQ(test::ReadBytes(Path()), text);

    text.pop_back();
    test::WriteBytes(Path(), text);
    EXPECT_EQ(Open()->ReadString(LM, kRs, "WORKTYPE"), "x");
}

// A file that may be written but not read reads as empty; a write would replace it with the
// change alone, so every write is refused and the file stays as it was.
TEST_F(RegistryTest, AFileThatCannotBeReadIsNeverWritten)
{
    {
        auto reg = Open();
        ASSERT_TRUE(reg->WriteString(LM, kRs, "WORKTYPE", "ObmenComPort"));
        ASSERT_TRUE(reg->WriteDword(LM, kRs, "SpeedRSS", 9600));
    }
    const std::string before = test::ReadBytes(Path());
    const pid_t pid = fork();
    if (pid == 0) {
        // Root reads anything: the file goes to a plain user, who may write it but not read it.
        if (geteuid() == 0) {
            for (const std::string& p : {dir_.Path(), Path(), Path() + ".lock"})
                if (chown(p.c_str(), 65534, 65534) != 0)
                    _exit(90);
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(91);
        }
        if (chmod(Path().c_str(), 0200) != 0)
            _exit(92);
        RegistryFile reg(Path());
        reg.SetDeviceScan(nullptr);
        testing::internal::CaptureStderr();
        if (reg.ReadString(LM, kRs, "WORKTYPE"))
            _exit(1);
        if (reg.WriteString(LM, kRs, "WORKTYPE", "x") || reg.CreateKey(LM, "K"))
            _exit(2);
        if (testing::internal::GetCapturedStderr().find("not read") == std::string::npos)
            _exit(3);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (geteuid() == 0) {
        for (const std::string& p : {dir_.Path(), Path(), Path() + ".lock"})
            EXPECT_EQ(chown(p.c_str(), 0, 0), 0);
    }
    chmod(Path().c_str(), 0644);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(test::ReadBytes(Path()), before);
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing)
{
    constexpr int kEach = 40;
    auto shared = Open();
    auto writer = [&](RegistryFile& reg, const std::string& prefix) {
        for (int i = 0; i < kEach; ++i)
            if (!reg.WriteDword(LM, kRs, prefix + std::to_string(i), i))
                return false;
        return true;
    };
    // Two processes, each with two threads: one on a shared object, one on its own.
    const pid_t pid = fork();
    const std::string who = pid == 0 ? "child" : "parent";
    bool ok1 = false;
    bool ok2 = false;
    {
        auto own = Open();
        std::thread t([&] { ok1 = writer(*shared, who + "-shared-"); });
        ok2 = writer(*own, who + "-own-");
        t.join();
    }
    if (pid == 0)
        _exit(ok1 && ok2 ? 0 : 1);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(ok1 && ok2);
    auto reg = Open();
    EXPECT_EQ(reg->ValueNames(LM, kRs).size(), 4u * kEach);
    for (const char* p : {"child-shared-", "child-own-", "parent-shared-", "parent-own-"})
        for (int i = 0; i < kEach; ++i)
            EXPECT_EQ(reg->ReadDword(LM, kRs, p + std::to_string(i)), i) << p << i;
}

TEST_F(RegistryTest, DefaultPathFollowsTheEnvironment)
{
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    for (const char* name : {"VENDAXO_REGISTRY", "XDG_CONFIG_HOME", "HOME"}) {
        const char* v = getenv(name);
        saved.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
    }
    setenv("VENDAXO_REGISTRY", "/x/r.reg", 1);
    setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(RegistryFile::DefaultPath(), "/x/r.reg");
    unsetenv("VENDAXO_REGISTRY");
    EXPECT_EQ(RegistryFile::DefaultPath(), "/cfg/vendaxo/registry.reg");
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", "/home/op", 1);
    EXPECT_EQ(RegistryFile::DefaultPath(), "/home/op/.config/vendaxo/registry.reg");
    for (const auto& [name, value] : saved) {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
}

TEST_F(RegistryTest, SerialCommPresentsUnlistedDevicesWithoutWritingThem)
{
    const std::string by_id = dir_.File("by-id-link");
    const std::string target = dir_.File("ttyUSB7");
    test::WriteBytes(target, "");
    ASSERT_EQ(symlink(target.c_str(), by_id.c_str()), 0);
    {
        auto reg = Open();
        ASSERT_TRUE(reg->WriteString(LM, kSerialCommKey, "/dev/ttyUSB1", "COM1"));
        ASSERT_TRUE(reg->WriteString(LM, kSerialCommKey, "/dev/pts/7", "COM3"));
        ASSERT_TRUE(reg->WriteString(LM, kSerialCommKey, by_id, "COM12"));
    }
    const std::string before = test::ReadBytes(Path());
    auto reg = Open();
    reg->SetDeviceScan([&] {
        return std::vector<std::string>{"/dev/ttyUSB10", "/dev/ttyUSB1", target, "/dev/ttyS0", "/dev/ttyUSB2"};
    });
    EXPECT_EQ(reg->ValueNames(LM, "HARDWARE\\DEVICEMAP\\SERIALCOMM"),
              (std::vector<std::string>{"/dev/ttyUSB1", "/dev/pts/7", by_id, "/dev/ttyS0", "/dev/ttyUSB2",
                                        "/dev/ttyUSB10"}));
    EXPECT_EQ(reg->ReadString(LM, kSerialCommKey, "/dev/ttyS0"), "COM2");
    EXPECT_EQ(reg->ReadString(LM, kSerialCommKey, "/dev/ttyUSB2"), "COM4");
    EXPECT_EQ(reg->ReadString(LM, kSerialCommKey, "/dev/ttyUSB10"), "COM5");

    struct Case
    {
        const char* name;
        std::optional<std::string> path;
    } cases[] = {
        {"COM1", "/dev/ttyUSB1"}, {"com3", "/dev/pts/7"},  {"\\\\.\\COM12", by_id},    {"COM4", "/dev/ttyUSB2"},
        {"COM6", std::nullopt},   {"COM", std::nullopt},   {"LPT1", std::nullopt},     {"COM1x", std::nullopt},
        {"/dev/ttyACM0", "/dev/ttyACM0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ResolveComPort(*reg, c.name), c.path) << c.name;

    reg->SetDeviceScan(nullptr);
    EXPECT_EQ(reg->ValueNames(LM, kSerialCommKey).size(), 3u);
    EXPECT_EQ(test::ReadBytes(Path()), before);
}

TEST_F(RegistryTest, SerialCommKeyExistsWithOnlyPresentedDevices)
{
    auto reg = Open();
    EXPECT_FALSE(reg->KeyExists(LM, kSerialCommKey));
    reg->SetDeviceScan([] { return std::vector<std::string>{"/dev/ttyACM0"}; });
    EXPECT_TRUE(reg->KeyExists(LM, kSerialCommKey));
    EXPECT_EQ(reg->SubKeys(LM, "hardware\\devicemap"), (std::vector<std::string>{"serialcomm"}));
    EXPECT_EQ(ResolveComPort(*reg, "COM1"), "/dev/ttyACM0");
    EXPECT_FALSE(std::filesystem::exists(Path()));
}

} // namespace
} // namespace platform
