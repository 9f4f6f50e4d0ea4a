// The window against the simulator process: the simulator on its link, the window on a
// settings file that stores the link as its port, every message box caught.
#pragma once

#include <QTest>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Form1.h"
#include "FormTestSupport.h"
#include "MessageBoxes.h"
#include "SimHarness.h"

class TSimWindowRig {
  public:
    // The simulator with simArgs and what `with` asks for; the settings file holds Settings
    // lines after the port. `with.wait` is also how long Until waits by default.
    TSimWindowRig(std::vector<std::string> simArgs, simharness::SimWith with,
                  const std::string& Settings = {})
        : FSim(std::move(simArgs), with), FLimit(with.wait) {
        const simharness::fs::path settings = FSim.dir.path() / "ComSetting.ini";
        std::ofstream(settings) << "[ComPort1]\nPort=" << FSim.link.string() << "\n" << Settings;
        MessageBoxes::SetHook(
            [this](QWidget*, const MessageBoxes::TBox& b) { boxes.push_back(b); });
        form = std::make_unique<TForm1>(QString::fromStdString(settings.string()));
    }
    ~TSimWindowRig() {
        CloseWindow();
        MessageBoxes::SetHook(nullptr);
    }
    TSimWindowRig(const TSimWindowRig&) = delete;
    TSimWindowRig& operator=(const TSimWindowRig&) = delete;

    // Whether the simulator's link is there now (it goes while the controller has vanished).
    bool Ready() const { return simharness::fs::is_symlink(FSim.link); }
    simharness::SimProcess& Sim() { return *FSim.sim; }
    QString LinkPath() const { return QString::fromStdString(FSim.link.string()); }
    // A file in the simulator's folder.
    QString File(const char* Name) const {
        return QString::fromStdString((FSim.dir.path() / Name).string());
    }
    // Writes one command to the simulator's control pipe; whether it was carried out.
    bool Control(const std::string& Cmd) { return FSim.Control(Cmd).empty(); }

    // Runs the event loop until pred holds or the time is up.
    template <class Pred>
    bool Until(Pred pred, std::chrono::milliseconds limit) {
        return simharness::WaitFor(pred, limit, [] { QTest::qWait(10); });
    }
    template <class Pred>
    bool Until(Pred pred) {
        return Until(pred, FLimit);
    }
    bool Open() { return OpenPort(*form); }

    std::unique_ptr<TForm1> form;
    std::vector<MessageBoxes::TBox> boxes;

  protected:
    // Closes the window as the operator does, the port first, and ends it.
    void CloseWindow() {
        if (!form) return;
        form->close();
        form.reset();
    }
    const simharness::SimOnLink& Simulator() const { return FSim; }

  private:
    simharness::SimOnLink FSim;
    std::chrono::milliseconds FLimit;
};
