// The main window as the window tests drive it, and a fresh window over a state, a processor and
// a folder of its own. No dialog waits for a person.
#pragma once

#include <QTest>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "app/command_dispatch.h"
#include "base/host.h"
#include "recording_host.h"
#include "ui/main_window.h"

namespace loudara::test {

// Messages are kept instead of shown; a confirmation is kept and gets `confirm`; file choosers
// choose `chosenFiles`, or nothing unless `realFileDialogs` lets the window open its own; documents
// are not opened.
class TestWindow : public MainWindow {
public:
    using MainWindow::MainWindow;
    void showMessage(const std::string& text, const std::string& caption, MessageIcon icon) override {
        messages.push_back({text, caption, icon});
    }
    void beep() override {}
    bool askConfirmation(const std::string& text, const std::string&, ConfirmButtons) override {
        questions.push_back(text);
        return confirm;
    }
    std::vector<std::string> chooseFiles(const FileDialogRequest& request) override {
        if (!chosenFiles.empty()) return chosenFiles;
        return realFileDialogs ? MainWindow::chooseFiles(request) : std::vector<std::string>{};
    }
    bool openDocument(const std::string&) override { return true; }

    bool confirm = false;
    bool realFileDialogs = false;
    std::vector<std::string> chosenFiles;  // what every file chooser chooses, when not empty
    std::vector<std::string> questions;    // the confirmations asked
    std::vector<RecordingHost::Message> messages;
};

// A test class that also derives from this gets the members its test functions use by name.
struct WindowUnderTest {
    std::filesystem::path folder;
    std::unique_ptr<AppState> state;
    std::unique_ptr<Processor> processor;
    std::unique_ptr<TestWindow> window;

    // A new folder under the system's temporary one, and a fresh state starting there and processor.
    void prepareFolderAndState(const std::string& prefix) {
        folder = std::filesystem::temp_directory_path() / (prefix + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(folder);
        state = std::make_unique<AppState>();
        state->startupFolder = folder.string();
        processor = std::make_unique<Processor>();
    }
    // The window over them, its settings file in the folder.
    void createWindow() {
        window = std::make_unique<TestWindow>(*state, *processor);
        window->dispatcher().setSettingsFile((folder / "ldrmp3.ini").string());
    }
    // false when the window never reached the screen.
    bool exposeWindow() {
        window->show();
        return QTest::qWaitForWindowExposed(window.get());
    }
    bool openWindow(const std::string& prefix) {
        prepareFolderAndState(prefix);
        createWindow();
        return exposeWindow();
    }
    void closeWindow() {
        window.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

}  // namespace loudara::test
