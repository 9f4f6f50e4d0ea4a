// The real program on an X display of its own: the caption the window manager
// reads from the window is exactly the window's caption, with nothing appended.
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// X11 after Qt: its macros would otherwise reach Qt's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A private Xvfb display, ended with the object.
class TXvfb {
  public:
    TXvfb() {
        int fds[2];
        if (pipe(fds) != 0) return;
        FPid = fork();
        if (FPid == 0) {
            close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24",
                   "-nolisten", "tcp", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        char buf[16] = {};
        std::string number;
        // Xvfb writes the display number once it accepts clients.
        for (;;) {
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            number.append(buf, static_cast<std::size_t>(n));
            if (number.find('\n') != std::string::npos) break;
        }
        close(fds[0]);
        while (!number.empty() && (number.back() == '\n' || number.back() == ' '))
            number.pop_back();
        if (!number.empty()) FName = ":" + number;
    }
    ~TXvfb() {
        if (FPid > 0) {
            kill(FPid, SIGTERM);
            waitpid(FPid, nullptr, 0);
        }
    }
    const std::string& Name() const { return FName; }

  private:
    pid_t FPid = -1;
    std::string FName;
};

std::optional<std::string> TextProperty(Display* D, Window W, const char* Name, Atom Type) {
    const Atom property = XInternAtom(D, Name, False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<std::string> text;
    if (XGetWindowProperty(D, W, property, 0, 1024, False, Type, &type, &format, &count, &after,
                           &data) == Success &&
        data && type == Type && format == 8)
        text.emplace(reinterpret_cast<const char*>(data), count);
    if (data) XFree(data);
    return text;
}

}  // namespace

class ProgramTitleTest : public QObject {
    Q_OBJECT
  private slots:
    void captionAsTheWindowManagerReadsIt() {
        if (!QFile::exists(QStringLiteral("/usr/bin/Xvfb"))) QSKIP("no Xvfb on this machine");
        TXvfb xvfb;
        QVERIFY(!xvfb.Name().empty());
        Display* d = XOpenDisplay(xvfb.Name().c_str());
        QVERIFY(d);
        XSelectInput(d, DefaultRootWindow(d), SubstructureNotifyMask);
        XSync(d, False);

        // The program beside a settings file of its own, so that nothing is left behind.
        QTemporaryDir dir;
        const QString program = dir.filePath(QStringLiteral("AirConTool"));
        QVERIFY(QFile::copy(QStringLiteral(AIRCONTOOL), program));
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("DISPLAY", xvfb.Name().c_str(), 1);
            setenv("QT_QPA_PLATFORM", "xcb", 1);
            const std::string path = program.toStdString();
            execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        QVERIFY(pid > 0);

        // The first top-level window mapped, then its titles once the program set them.
        const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
        std::optional<std::string> netName, wmName;
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        Window shown = None;
        while (Clock::now() < deadline && (shown == None || !netName)) {
            while (XPending(d) > 0) {
                XEvent ev;
                XNextEvent(d, &ev);
                if (ev.type == MapNotify && shown == None) shown = ev.xmap.window;
            }
            if (shown != None) {
                netName = TextProperty(d, shown, "_NET_WM_NAME", utf8);
                wmName = TextProperty(d, shown, "WM_NAME", utf8);
                if (!wmName) wmName = TextProperty(d, shown, "WM_NAME", XA_STRING);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        XCloseDisplay(d);

        QVERIFY2(shown != None, "the window was never shown");
        QVERIFY(netName.has_value());
        const QString caption = QStringLiteral("基站空调专用PC（Ver1.0-D）");
        QCOMPARE(QString::fromStdString(*netName), caption);
        if (wmName) QCOMPARE(QString::fromStdString(*wmName), caption);
    }
};

QTEST_GUILESS_MAIN(ProgramTitleTest)
#include "program_title_test.moc"
