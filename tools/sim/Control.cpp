#include "Control.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <Model.h>
#include <MultiPoll.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "Options.h"

namespace acsim {
namespace {

std::optional<long> Number(const std::string& s) {
    long v = 0;
    int base = 10;
    std::string_view t = s;
    if (t.starts_with('-')) {
        auto v = Number(std::string(t.substr(1)));
        return v ? std::optional<long>(-*v) : std::nullopt;
    }
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        t.remove_prefix(2);
    }
    auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v, base);
    if (t.empty() || ec != std::errc{} || p != t.data() + t.size()) return std::nullopt;
    return v;
}

// The controllers an ADDR word names; the reason when one is not on the line.
std::vector<Controller*> Named(Bus& bus, const std::string& word, std::string& error) {
    std::vector<Controller*> out;
    if (word == "all") {
        for (auto& c : bus.Controllers())
            out.push_back(&c);
        return out;
    }
    std::string why;
    const auto addrs = aircon::ParseAddressList(word, why);
    if (!addrs) {
        error = "'" + word + "' is not an address, a list of them or all (" + why + ")";
        return {};
    }
    for (std::uint8_t a : *addrs) {
        Controller* c = bus.Find(a);
        if (!c) {
            error = "no controller at address " + std::to_string(a);
            return {};
        }
        out.push_back(c);
    }
    return out;
}

std::optional<std::size_t> AlarmSlot(const std::string& word) {
    for (std::size_t i = 0; i < aircon::AlarmFields.size(); ++i)
        if (aircon::AlarmFields[i].Key == word) return i;
    if (auto n = Number(word); n && *n >= 0 && *n < static_cast<long>(Controller::kAlarmSlots))
        return static_cast<std::size_t>(*n);
    return std::nullopt;
}

std::optional<std::uint8_t> AlarmCode(const std::string& word) {
    static constexpr std::array<std::pair<std::string_view, std::uint8_t>, 4> kWords{
        {{"normal", 0x00}, {"low", 0x01}, {"high", 0x02}, {"fault", 0xF0}}};
    for (const auto& [w, code] : kWords)
        if (w == word) return code;
    if (auto n = Number(word); n && *n >= 0 && *n <= 255) return static_cast<std::uint8_t>(*n);
    return std::nullopt;
}

}  // namespace

std::string ApplyControl(Bus& bus, std::string_view line) {
    std::istringstream in{std::string(line)};
    std::vector<std::string> w;
    for (std::string s; in >> s;)
        w.push_back(s);
    if (w.empty() || w[0].starts_with('#')) return "";
    const std::string& verb = w[0];
    auto arity = [&](std::size_t n, const char* usage) -> std::string {
        return w.size() == n ? "" : std::string("usage: ") + usage;
    };
    std::string error;
    if (verb == "normal") {
        if (auto e = arity(1, "normal"); !e.empty()) return e;
        bus.Normal();
        return "";
    }
    if (verb == "silent" || verb == "answer") {
        if (auto e = arity(2, verb == "silent" ? "silent ADDR|all" : "answer ADDR|all"); !e.empty())
            return e;
        const auto cs = Named(bus, w[1], error);
        if (cs.empty()) return error;
        for (Controller* c : cs)
            bus.SetSilent(c->Config().address, verb == "silent");
        return "";
    }
    if (verb == "power") {
        if (auto e = arity(3, "power ADDR|all on|off"); !e.empty()) return e;
        if (w[2] != "on" && w[2] != "off") return "'" + w[2] + "' is not on or off";
        const auto cs = Named(bus, w[1], error);
        if (cs.empty()) return error;
        for (Controller* c : cs)
            c->SetPower(w[2] == "on");
        return "";
    }
    if (verb == "alarm") {
        if (auto e = arity(5, "alarm ADDR|all UNIT FIELD STATE"); !e.empty()) return e;
        if (w[2] != "1" && w[2] != "2") return "'" + w[2] + "' is not unit 1 or 2";
        const int unit = w[2] == "1" ? 0 : 1;
        const auto slot = AlarmSlot(w[3]);
        if (!slot)
            return "'" + w[3] + "' is not an alarm (a key such as return_air_temp, or 0..35)";
        const auto code = AlarmCode(w[4]);
        if (!code) return "'" + w[4] + "' is not normal, low, high, fault or a code 0..255";
        const auto cs = Named(bus, w[1], error);
        if (cs.empty()) return error;
        // All or nothing: a unit without that sensor refuses before any change.
        for (Controller* c : cs)
            if (c->Alarm(unit, *slot) == 0x20)
                return "unit " + w[2] + " has no " + std::string(aircon::AlarmFields[*slot].Key);
        for (Controller* c : cs)
            c->SetAlarm(unit, *slot, *code);
        return "";
    }
    if (verb == "late") {
        if (auto e = arity(3, "late ADDR|all MS"); !e.empty()) return e;
        const auto ms = Number(w[2]);
        if (!ms || *ms < 0 || *ms > 60000) return "'" + w[2] + "' is not 0..60000 ms";
        const auto cs = Named(bus, w[1], error);
        if (cs.empty()) return error;
        for (Controller* c : cs)
            bus.SetLate(c->Config().address, static_cast<double>(*ms));
        return "";
    }
    if (verb == "reply-as") {
        if (auto e = arity(3, "reply-as ADDR|all OTHER"); !e.empty()) return e;
        const auto as = Number(w[2]);
        if (!as || *as < 0 || *as > 255) return "'" + w[2] + "' is not an address 0..255";
        const auto cs = Named(bus, w[1], error);
        if (cs.empty()) return error;
        for (Controller* c : cs)
            bus.SetReplyAs(c->Config().address, static_cast<std::uint8_t>(*as));
        return "";
    }
    if (verb == "param") {
        if (auto e = arity(4, "param ADDR|all CODE VALUE"); !e.empty()) return e;
        const auto code = Number(w[2]);
        const auto index = code && *code >= 0 && *code <= 255
                               ? ParamIndex(static_cast<std::uint8_t>(*code))
                               : std::nullopt;
        if (!index) return "'" + w[2] + "' is not a parameter code (0x80..0x86, 0xC0..0xC8)";
        const auto value = Number(w[3]);
        if (!value || *value < -32768 || *value > 65535)
            return "'" + w[3] + "' is not a value -32768..65535";
        const auto cs = Named(bus, w[1], error);
        if (cs.empty()) return error;
        for (Controller* c : cs)
            c->SetParam(*index, static_cast<std::uint16_t>(*value));
        return "";
    }
    if (verb == "choices") {
        if (auto e = arity(4, "choices ADDR|all CODE LIST|any"); !e.empty()) return e;
        const auto code = Number(w[2]);
        const auto index = code && *code >= 0 && *code <= 255
                               ? ParamIndex(static_cast<std::uint8_t>(*code))
                               : std::nullopt;
        if (!index) return "'" + w[2] + "' is not a parameter code (0x80..0x86, 0xC0..0xC8)";
        std::vector<std::uint16_t> takes;
        if (w[3] != "any") {
            std::string why;
            const auto list = aircon::ParseAddressList(w[3], why);
            if (!list)
                return "'" + w[3] + "' is not a list of values 0..255 such as 0-4 or any (" + why +
                       ")";
            takes.assign(list->begin(), list->end());
        }
        const auto cs = Named(bus, w[1], error);
        if (cs.empty()) return error;
        for (Controller* c : cs)
            c->SetTakes(*index, takes);
        return "";
    }
    if (verb == "version") {
        if (auto e = arity(3, "version ADDR|all VER"); !e.empty()) return e;
        const auto ver = Number(w[2]);
        if (!ver || *ver < 0 || *ver > 255) return "'" + w[2] + "' is not a version 0..255";
        const auto cs = Named(bus, w[1], error);
        if (cs.empty()) return error;
        for (Controller* c : cs)
            c->SetProtocolVersion(static_cast<std::uint8_t>(*ver));
        return "";
    }
    return "unknown command '" + verb +
           "' (silent, answer, alarm, power, late, reply-as, param, choices, version, normal)";
}

#ifndef _WIN32
ControlPipe::ControlPipe(std::string path) : path_(std::move(path)) {
    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0) {
        if (!S_ISFIFO(st.st_mode)) {
            const std::string p = path_;
            path_.clear();
            throw std::runtime_error("will not replace '" + p + "': it is not a named pipe");
        }
    } else if (mkfifo(path_.c_str(), 0600) != 0) {
        const std::string p = path_;
        path_.clear();
        throw std::runtime_error("cannot make the named pipe '" + p + "': " + std::strerror(errno));
    }
    // Held open for writing too, so that the pipe never reads as ended between
    // two writers.
    fd_ = open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        const std::string e = std::strerror(errno);
        unlink(path_.c_str());
        const std::string p = path_;
        path_.clear();
        throw std::runtime_error("cannot open the named pipe '" + p + "': " + e);
    }
}

ControlPipe::~ControlPipe() {
    if (fd_ >= 0) close(fd_);
    if (!path_.empty()) unlink(path_.c_str());
}

std::vector<std::string> ControlPipe::ReadLines() {
    std::vector<std::string> lines;
    std::array<char, 512> buf{};
    for (;;) {
        const ssize_t n = read(fd_, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        partial_.append(buf.data(), static_cast<std::size_t>(n));
    }
    std::size_t nl;
    while ((nl = partial_.find('\n')) != std::string::npos) {
        lines.push_back(partial_.substr(0, nl));
        partial_.erase(0, nl + 1);
    }
    // A line that never ends is not kept without bound.
    if (partial_.size() > 4096) partial_.clear();
    return lines;
}

#else
// The commands arrive on a POSIX named pipe, which Windows does not have.
ControlPipe::ControlPipe(std::string path) {
    throw std::runtime_error("cannot take control commands at '" + path +
                             "': Windows has no named pipes of this kind");
}

ControlPipe::~ControlPipe() = default;

std::vector<std::string> ControlPipe::ReadLines() {
    return {};
}
#endif

}  // namespace acsim
