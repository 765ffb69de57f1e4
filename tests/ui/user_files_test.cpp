// The program's own files from two different working folders: the start-up the program runs,
// its window saving and loading a user preset, and the exit; everything lands in the per-user
// data folder and nothing in the folders it was started from.

#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>

#include "app/app_state.h"
#include "app/command_dispatch.h"
#include "app/export_commands.h"
#include "app/user_paths.h"
#include "test_window.h"

namespace fs = std::filesystem;
using namespace loudara;

namespace {

class QuietHost : public Host {
public:
    void showMessage(const std::string&, const std::string&, MessageIcon) override {}
    void beep() override {}
};

// Listing of a folder tree, relative names.
QStringList tree(const fs::path& root) {
    QStringList names;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        names << QString::fromStdString(fs::relative(entry.path(), root).string());
    }
    names.sort();
    return names;
}

}  // namespace

class UserFilesTest : public QObject {
    Q_OBJECT

    fs::path root;
    fs::path previous;

    // One run of the program as its entry does it, from `workingFolder`; `during` acts on the window.
    template <class F>
    void runFrom(const fs::path& workingFolder, F during) {
        fs::current_path(workingFolder);
        auto state = std::make_unique<AppState>();
        auto processor = std::make_unique<Processor>();
        QuietHost host;
        StartCore(*state, *processor, host);
        {
            test::TestWindow window(*state, *processor);
            window.confirm = true;
            window.show();
            during(window, *processor);
        }
        std::string error;
        QVERIFY2(ShutdownCore(*state, *processor, error), error.c_str());
    }

private slots:
    void init() {
        root = fs::temp_directory_path() / ("loudara_user_" + std::to_string(std::random_device{}()));
        for (const char* name : {"a", "b", "data", "config"}) fs::create_directories(root / name);
        previous = fs::current_path();
        setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    }
    void cleanup() {
        fs::current_path(previous);
        fs::remove_all(root);
    }

    void filesLiveInTheDataFolderWhateverTheWorkingFolder() {
        const fs::path data = root / "data" / "loudara";
        QCOMPARE(QString::fromStdString(UserDataFolder()), QString::fromStdString(data.string()));
        // First start from a: the folder is made; a changed knob goes to user preset 1 and, at exit,
        // to the current settings.
        runFrom(root / "a", [](test::TestWindow& window, Processor& p) {
            p.bands[2].driveDb = 7;
            window.dispatcher().dispatch(348);  // Save Parameters to Preset #1
        });
        QCOMPARE(tree(data), (QStringList{"ldmp3.prf", "tempwav", "users", "users/user_preset_1.ld3"}));
        // Started from b: the same settings come back, and the preset loads from the same place.
        runFrom(root / "b", [](test::TestWindow& window, Processor& p) {
            QCOMPARE(p.bands[2].driveDb, 7.0);
            p.bands[2].driveDb = 3;
            window.dispatcher().dispatch(315);  // Use User's Preset #1
            QCOMPARE(p.bands[2].driveDb, 7.0);
        });
        QVERIFY(tree(root / "a").isEmpty());
        QVERIFY(tree(root / "b").isEmpty());
        QCOMPARE(tree(data), (QStringList{"ldmp3.prf", "tempwav", "users", "users/user_preset_1.ld3"}));
    }

    // A parameter file from elsewhere that names an external encoder (here a shell running a
    // command): opening it asks, showing the program and its arguments in full; declined, the
    // sound parameters load but the encoder the exports use stays as it was.
    void openingAParameterFileNeverChangesTheEncoderWithoutConsent() {
        auto state = std::make_unique<AppState>();
        state->startupFolder = (root / "data").string();
        auto processor = std::make_unique<Processor>();
        resetProcessor(*processor);
        std::snprintf(state->stored.externalEncoderPath, kEncoderTextBytes, "/usr/bin/lame");
        std::snprintf(state->stored.externalEncoderParams, kEncoderTextBytes, "-b 192 %%1 %%2");
        const StoredSettings mine = state->stored;

        auto sender = std::make_unique<Processor>();
        resetProcessor(*sender);
        sender->bands[2].driveDb = 5;
        StoredSettings theirs;
        theirs.useExternalEncoder = 1;
        std::snprintf(theirs.externalEncoderPath, kEncoderTextBytes, "/bin/sh");
        std::snprintf(theirs.externalEncoderParams, kEncoderTextBytes, "-c \"id > /tmp/x\" %%1 %%2");
        const std::string file = (root / "a" / "from-elsewhere.ld3").string();
        std::string error;
        QVERIFY2(SaveParameterFile(*sender, theirs, file, "", error), error.c_str());

        test::TestWindow window(*state, *processor);
        window.dispatcher().setSettingsFile((root / "config" / "ldrmp3.ini").string());
        window.chosenFiles = {file};
        window.confirm = false;
        window.dispatcher().dispatch(cmd::OpenParameterFile);
        QCOMPARE(window.questions.size(), std::size_t{1});
        const std::string& question = window.questions.front();
        QVERIFY2(question.find("program: /bin/sh\n") != std::string::npos, question.c_str());
        QVERIFY2(question.find("arguments: -c \"id > /tmp/x\" %1 %2\n") != std::string::npos, question.c_str());
        QVERIFY2(question.find("program: /usr/bin/lame\n") != std::string::npos, question.c_str());
        QCOMPARE(processor->bands[2].driveDb, 5.0);
        QVERIFY(SameExternalEncoder(state->stored, mine));
        const EncoderSettings used = EncoderSettingsOf(state->stored);
        QCOMPARE(used.useExternalEncoder, 0);
        QCOMPARE(QString(used.externalEncoderPath), QString("/usr/bin/lame"));

        // Accepted, the file's settings are taken; the same file again asks nothing.
        window.confirm = true;
        window.dispatcher().dispatch(cmd::OpenParameterFile);
        QCOMPARE(window.questions.size(), std::size_t{2});
        QVERIFY(SameExternalEncoder(state->stored, theirs));
        window.dispatcher().dispatch(cmd::OpenParameterFile);
        QCOMPARE(window.questions.size(), std::size_t{2});
    }

    void defaultsAndRelativeValues() {
        // A relative XDG_DATA_HOME is ignored, as the XDG rules say: ~/.local/share is used.
        setenv("XDG_DATA_HOME", "relative/data", 1);
        setenv("HOME", root.c_str(), 1);
        QCOMPARE(QString::fromStdString(UserDataFolder()),
                 QString::fromStdString((root / ".local" / "share" / "loudara").string()));
        unsetenv("XDG_DATA_HOME");
        QCOMPARE(QString::fromStdString(UserDataFolder()),
                 QString::fromStdString((root / ".local" / "share" / "loudara").string()));
        runFrom(root / "a", [](test::TestWindow&, Processor&) {});
        QVERIFY(fs::exists(root / ".local" / "share" / "loudara" / "ldmp3.prf"));
        QVERIFY(tree(root / "a").isEmpty());
    }
};

QTEST_MAIN(UserFilesTest)
#include "user_files_test.moc"
