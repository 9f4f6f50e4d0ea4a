// Feeds random replies through the main window's intake (port block handler,
// codec, correct-frame handler, dispatcher, decoders, panels), offscreen.
//
// Input layout: byte 0 is the last command sent (FLastCID2); then a sequence of
// items, each chosen by one byte:
//   - a reply frame with valid checksums: header, RTN (mostly 0), an INFO of any
//     length up to the largest frame the codec keeps, a LENID that is either
//     right or arbitrary, hexadecimal in upper or lower case;
//   - line junk that holds no "~" (dropped by the codec between frames);
//   - a broken frame start ("~" and a few characters) that the next frame's
//     "~" restarts;
//   - a new last command.
// The bytes reach the window in blocks of random size.
//
// Invariants: every reply with RTN 0 reaches the dispatcher once, in order,
// with the last command's CID2 and exactly its INFO bytes; the receive log
// shows the last reply; the status and result labels follow the last reply.
// Any memory or undefined-behaviour fault in a decoder is caught by the
// sanitizers.
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "DH.h"
#include "FakeComPlatform.h"
#include "Form1.h"

namespace {

void Require(bool Ok, const char* What) {
    if (!Ok) {
        std::fprintf(stderr, "invariant broken: %s\n", What);
        std::abort();
    }
}

// Reads the input front to back; past its end every read gives 0.
class TInput {
  public:
    TInput(const std::uint8_t* Data, std::size_t Size) : FData(Data), FSize(Size) {}
    bool Empty() const { return FPos >= FSize; }
    std::uint8_t Byte() { return FPos < FSize ? FData[FPos++] : 0; }
    std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() << 8 | Byte()); }

  private:
    const std::uint8_t* FData;
    std::size_t FSize;
    std::size_t FPos = 0;
};

void PutHex(std::string& Out, std::uint8_t B, bool Lower) {
    const char* digits = Lower ? "0123456789abcdef" : "0123456789ABCDEF";
    Out.push_back(digits[B >> 4]);
    Out.push_back(digits[B & 0x0F]);
}

struct TExpected {
    std::uint8_t CID2;
    std::vector<std::uint8_t> Info;
};

struct TSeen {
    TDH_Header Header;
    std::vector<std::uint8_t> Info;
};

struct TWorld {
    QTemporaryDir Dir;
    std::unique_ptr<QApplication> App;
    std::unique_ptr<TForm1> Form;
    std::vector<TSeen> Seen;
};

TWorld* World = nullptr;

}  // namespace

// Fontconfig keeps the font patterns it loads the first time a text is laid out
// in a new script, for the life of the process; that is a cache, not a leak of
// the window.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n";
}

extern "C" int LLVMFuzzerInitialize(int* Argc, char*** Argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Lives until the process ends: the window and the application are reused by every input.
    World = new TWorld;
    World->App = std::make_unique<QApplication>(*Argc, *Argv);
    World->Form = std::make_unique<TForm1>(World->Dir.filePath(QStringLiteral("ComSetting.ini")),
                                           std::make_shared<TFakeComPlatform>());
    World->Form->OnDispatch = [](TDH_Header Header, std::span<const std::uint8_t> Info, bool) {
        World->Seen.push_back({Header, {Info.begin(), Info.end()}});
    };
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    TForm1& form = *World->Form;
    World->Seen.clear();
    TInput in(Data, Size);
    form.FLastCID2 = in.Byte();

    std::string stream;               // the bytes of this input, in order
    std::vector<std::size_t> cidAt;   // stream offsets where the last command changes...
    std::vector<std::uint8_t> cidTo;  // ...and to what
    std::vector<TExpected> expected;  // replies with RTN 0, in order
    std::string lastFrame;            // the last reply with valid checksums
    int lastRtn = -1;
    bool brokenStart = false;  // a frame start waits for the next frame's "~"
    std::uint8_t lastCid2 = form.FLastCID2;

    for (int items = 0; !in.Empty() && items < 64; ++items) {
        const std::uint8_t kind = in.Byte();
        const int choice = brokenStart ? 0 : kind % 8;
        if (choice <= 4) {  // a reply frame with valid checksums
            const std::uint8_t flags = in.Byte();
            const bool lower = flags & 1;
            const std::uint8_t rtn = (flags & 0x06) == 0x06 ? in.Byte() : 0;
            const std::uint8_t ver = in.Byte(), adr = in.Byte(), cid1 = in.Byte();
            // Any INFO length the codec keeps: 18 + 2 * 503 = 1024 characters at most.
            const std::size_t length = flags & 0x08 ? in.Word() % 504 : in.Byte() % 48;
            std::vector<std::uint8_t> info(length);
            for (auto& b : info)
                b = in.Byte();
            // LENID counts the INFO characters, or not: the intake takes the INFO length
            // from the frame's size, never from LENID (whose LCHKSUM is still right).
            const auto lenid =
                static_cast<std::uint16_t>(flags & 0x10 ? in.Word() & 0x0FFF : 2 * length);
            const auto lengthWord =
                static_cast<std::uint16_t>(TDH::CalcLChkSum(lenid) << 12 | lenid);
            std::string frame = "~";
            for (std::uint8_t b : {ver, adr, cid1, rtn})
                PutHex(frame, b, lower);
            PutHex(frame, static_cast<std::uint8_t>(lengthWord >> 8), lower);
            PutHex(frame, static_cast<std::uint8_t>(lengthWord), lower);
            for (std::uint8_t b : info)
                PutHex(frame, b, lower);
            const std::uint16_t chk = TDH::CalcChkSum(
                std::span(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size()));
            PutHex(frame, static_cast<std::uint8_t>(chk >> 8), lower);
            PutHex(frame, static_cast<std::uint8_t>(chk), lower);
            frame.push_back('\r');
            stream += frame;
            lastFrame = frame;
            lastRtn = rtn;
            if (rtn == 0) expected.push_back({lastCid2, std::move(info)});
            brokenStart = false;
        } else if (choice == 5) {  // line junk between frames
            const int n = in.Byte() % 16;
            for (int i = 0; i < n; ++i) {
                const std::uint8_t b = in.Byte();
                stream.push_back(static_cast<char>(b == '~' ? '#' : b));
            }
        } else if (choice == 6) {  // a frame start cut off by the next frame
            stream.push_back('~');
            const int n = in.Byte() % 12;
            for (int i = 0; i < n; ++i) {
                const std::uint8_t b = in.Byte();
                stream.push_back(static_cast<char>(b == '~' || b == '\r' ? '0' : b));
            }
            brokenStart = true;
        } else {  // another command has been sent
            lastCid2 = in.Byte();
            cidAt.push_back(stream.size());
            cidTo.push_back(lastCid2);
        }
    }
    if (brokenStart) stream += "~\r";  // end the broken start: an error frame

    // Deliver in blocks of random size; the last command changes between blocks.
    std::uint32_t seed = static_cast<std::uint32_t>(Size) * 2654435761u + 7;
    std::size_t pos = 0, nextCid = 0;
    while (pos < stream.size()) {
        seed = seed * 1103515245u + 12345u;
        while (nextCid < cidAt.size() && cidAt[nextCid] <= pos)
            form.FLastCID2 = cidTo[nextCid++];
        std::size_t n = 1 + (seed >> 16) % 200;
        if (nextCid < cidAt.size()) n = std::min(n, cidAt[nextCid] - pos);
        n = std::min(n, stream.size() - pos);
        form.ComPort1RxBuf(
            *form.ComPort1,
            std::span(reinterpret_cast<const std::uint8_t*>(stream.data()) + pos, n));
        pos += n;
    }
    while (nextCid < cidAt.size())
        form.FLastCID2 = cidTo[nextCid++];

    const auto& seen = World->Seen;
    Require(seen.size() == expected.size(), "every reply with RTN 0 dispatched once");
    for (std::size_t i = 0; i < seen.size(); ++i) {
        Require(seen[i].Header.CID2 == expected[i].CID2, "dispatched under the last command");
        Require(seen[i].Info == expected[i].Info, "dispatched with exactly its INFO bytes");
    }
    if (!lastFrame.empty()) {
        QString echo = QStringLiteral(" ");
        for (unsigned char c : lastFrame)
            echo += QStringLiteral("%1 ").arg(c, 2, 16, QLatin1Char('0')).toUpper();
        Require(form.Memo2->toPlainText() == echo, "receive log shows the last reply");
    }
    if (!expected.empty())
        Require(form.Label14->text() == QStringLiteral("通讯状态：正常"), "status after a reply");
    if (brokenStart)
        Require(form.lblComRes->text() == QStringLiteral("接收错误帧："), "error frame shown");
    else if (lastRtn == 0)
        Require(form.lblComRes->text().isEmpty(), "result cleared by a reply with RTN 0");
    else if (lastRtn >= 1 && lastRtn <= 6)
        Require(form.lblComRes->text() ==
                    QString::fromStdString(TDH::RtnToString(static_cast<std::uint8_t>(lastRtn))),
                "result shows the RTN text");
    return 0;
}
