// The program cannot start: it says why in one box and ends with status 1.
// Each row damages one thing: the dialog's template out of reach (a copy of
// the program whose DIALOG resource carries id 103 instead of 102, made by
// CMakeLists.txt), or a library of the stand-in prefix's system folder taken
// in place of Windows' own (tests/standins): a wsock32.dll whose WSAStartup
// fails, a comctl32.dll that refuses to load or lacks InitCommonControls.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "program.h"

namespace {

struct StartFailure {
    const char *name;
    const char *program;
    const char *standin;    // the stand-in library Wine takes; null for none
    bool refuses;           // the planted library refuses to load
    const char *before;     // the box's text before the library's path, or all of it
    const char *library;    // in the system folder, as the program names it; null for none
    DWORD error;            // then errorText(error); 0 for none
};

void PrintTo(const StartFailure &row, std::ostream *out)
{
    *out << row.name;
}

// Wine takes a stand-in for one program, by its file name, while the key
// exists: HKCU\Software\Wine\AppDefaults\<file>\DllOverrides. (Setting
// WINEDLLOVERRIDES here would not reach the child: Wine hands a child the
// variables it was itself started with.)
class StandinFor {
public:
    StandinFor(const std::string &program, const char *library) : app_("Software\\Wine\\AppDefaults\\" + program)
    {
        HKEY key;
        if (library == nullptr ||
            RegCreateKeyExA(HKEY_CURRENT_USER, (app_ + "\\DllOverrides").c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                            nullptr, &key, nullptr) != ERROR_SUCCESS)
            return;
        set_ = RegSetValueExA(key, library, 0, REG_SZ, (const BYTE *)"native,builtin", 15) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    ~StandinFor()
    {
        RegDeleteKeyA(HKEY_CURRENT_USER, (app_ + "\\DllOverrides").c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, app_.c_str());
    }
    bool set() const { return set_; }

private:
    const std::string app_;
    bool set_ = false;
};

class StartFailures : public ProgramTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartFailures, ShowOneBoxAndEndWithStatus1)
{
    const StartFailure &row = GetParam();
    StandinFor standin(row.program, row.standin);
    ASSERT_TRUE(row.standin == nullptr || standin.set()) << row.standin;
    // A child starts with this process's environment.
    ASSERT_TRUE(SetEnvironmentVariableA("PLANTED_REFUSE", row.refuses ? "1" : nullptr));
    testing::AssertionResult started = program.start(row.program);
    SetEnvironmentVariableA("PLANTED_REFUSE", nullptr);
    ASSERT_TRUE(started);
    ASSERT_TRUE(boxes.waitForBoxes(1, startMs()));
    ASSERT_TRUE(program.waitForExit(startMs()));
    EXPECT_EQ(1u, program.exitCode());
    std::string text = row.before;
    if (row.library != nullptr) {
        char system[MAX_PATH] = "";
        ASSERT_NE(0u, GetSystemDirectoryA(system, sizeof system));
        text += std::string(system) + "\\" + row.library + ": ";
    }
    if (row.error != 0)
        text += errorText(row.error);
    EXPECT_EQ(std::vector<Box>({ { "Error", text } }), boxes.boxes());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StartFailures,
    ::testing::Values(
        StartFailure{ "dialog_template_missing", "velmora-flash-dialog-103.exe", nullptr, false, "", nullptr,
                      ERROR_RESOURCE_NAME_NOT_FOUND },
        StartFailure{ "sockets_do_not_start", UPDATER, "wsock32", false, "WSAError: WSAStartup: 10091", nullptr, 0 },
        StartFailure{ "comctl32_refuses_to_load", UPDATER, "comctl32", true, "Cannot load ", "COMCTL32.DLL",
                      ERROR_DLL_INIT_FAILED },
        StartFailure{ "comctl32_lacks_a_function", UPDATER, "comctl32", false,
                      "Cannot find InitCommonControls in ", "COMCTL32.DLL", ERROR_PROC_NOT_FOUND }),
    [](const ::testing::TestParamInfo<StartFailure> &info) { return std::string(info.param.name); });

}  // namespace
