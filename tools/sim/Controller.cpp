#include "Controller.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include <Model.h>

namespace acsim {
namespace {

constexpr std::uint8_t kCid1 = 0x60;
constexpr std::uint16_t kNotDetected = 0x2020;
constexpr std::uint8_t kNotDetectedByte = 0x20;

// Parameter positions with a meaning of their own.
constexpr std::size_t kParamSetPoint = 6;
constexpr std::size_t kParamMode = 7;
constexpr std::size_t kParamFan = 8;
constexpr std::size_t kParamSwing = 9;
constexpr std::size_t kParamLock = 10;

// Run modes.
constexpr std::uint16_t kModeAuto = 0, kModeCool = 1, kModeDry = 2, kModeFan = 3, kModeHeat = 4,
                        kModeFresh = 5;

// Alarm slots: 0..10 are the fixed alarms of reply 0x44, 11.. its items.
constexpr std::size_t kSlotVoltA = 0, kSlotCurA = 3, kSlotReturnT = 6, kSlotReturnH = 7,
                      kSlotCompOverload = 9;
constexpr std::size_t kFixedAlarms = 11;
std::size_t SlotOffset(std::size_t slot) {
    return slot < kFixedAlarms ? 1 + slot : slot + 2;
}

// Sensors that these two units simply do not have: their readings and alarms
// are reported as not detected.
constexpr std::array<std::array<std::size_t, 4>, 2> kAbsentAlarmSlots{{
    {29, 20, 34,
     35},  // unit 1 of 2: outdoor humidity sensor, outdoor coil inlet, water level, pump
    {16, 17, 18, 35},  // unit 2 of 2: the three indoor coil sensors, pump
}};

bool AlarmSlotAbsent(int unit, std::size_t slot) {
    const auto& s = kAbsentAlarmSlots[static_cast<std::size_t>(unit)];
    return std::find(s.begin(), s.end(), slot) != s.end();
}

void PutWord(std::vector<std::uint8_t>& v, std::uint16_t w) {
    v.push_back(static_cast<std::uint8_t>(w >> 8));
    v.push_back(static_cast<std::uint8_t>(w & 0xFF));
}

void PutReading(std::vector<std::uint8_t>& v, double x) {
    const long r = std::lround(x);
    PutWord(v,
            static_cast<std::uint16_t>(static_cast<std::int16_t>(std::clamp(r, -32768L, 32767L))));
}

void PutCount(std::vector<std::uint8_t>& v, double x) {
    PutWord(v, static_cast<std::uint16_t>(std::clamp(std::lround(x), 0L, 65535L)));
}

void PutField(std::vector<std::uint8_t>& v, const std::string& s, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i)
        v.push_back(i < s.size() ? static_cast<std::uint8_t>(s[i]) : std::uint8_t{' '});
}

constexpr std::array<std::uint16_t, kParamCount> kDefaultParams{
    28,         // 0x80 switch-on temperature
    22,         // 0x81 switch-off temperature
    35,         // 0x82 return-air temperature upper limit
    5,          // 0x83 return-air temperature lower limit (signed)
    80,         // 0x84 return-air humidity upper limit
    30,         // 0x85 return-air humidity lower limit
    25,         // 0x86 temperature set point
    kModeCool,  // 0xC0 run mode
    3,          // 0xC1 indoor fan speed: high
    0,          // 0xC2 swing: stopped
    0,          // 0xC3 local operation: allowed
    24,         // 0xC4 dual-unit backup switch-over time
    30,         // 0xC5 high-temperature joint-start temperature
    20,         // 0xC6 heating-mode temperature
    2,          // 0xC7 cooling control precision
    2,          // 0xC8 heating control precision
};

}  // namespace

std::optional<std::size_t> ParamIndex(std::uint8_t code) {
    return aircon::ParamFieldIndex(code);
}

std::uint8_t ParamCode(std::size_t index) {
    return aircon::ParamFieldCode(index);
}

Controller::Controller(ControllerConfig cfg) : cfg_(std::move(cfg)), rng_(cfg_.seed) {
    params_ = kDefaultParams;
    units_[0].unitHoursBase = 12873;
    units_[0].compHoursBase = 10456;
    units_[0].oatPhase = 0.3;
    units_[1].unitHoursBase = 9021;
    units_[1].compHoursBase = 7311;
    units_[1].oatPhase = 2.2;
    units_[1].volt = {223, 218, 220};
    units_[1].returnT = 26;
    for (int u = 0; u < 2; ++u)
        for (std::size_t s : kAbsentAlarmSlots[static_cast<std::size_t>(u)])
            units_[static_cast<std::size_t>(u)].alarms[s] = kNotDetectedByte;
    nextAlarmEvent_ = cfg_.alarmEventSeconds > 0 ? cfg_.alarmEventSeconds / 2 : -1;
    // The plant has been running for a while when the line comes up.
    for (int i = 0; i < 60; ++i)
        StepSecond();
}

double Controller::Oat(int unit) const {
    // Swings between about -4 and 26 degrees over two and a half minutes.
    const auto& u = units_[static_cast<std::size_t>(unit)];
    return 11 + 15 * std::sin(2 * std::numbers::pi * now_ / 150.0 + u.oatPhase);
}

bool Controller::CompressorRunning(int unit) const {
    const auto& u = units_[static_cast<std::size_t>(unit)];
    if (!powerOn_ || u.alarms[kSlotCompOverload] == 0xF0) return false;
    switch (params_[kParamMode]) {
        case kModeFan:
        case kModeFresh:
            return false;
        case kModeAuto:
            return u.returnT > params_[kParamSetPoint];
        default:
            return true;
    }
}

void Controller::StepSecond() {
    std::normal_distribution<double> noise(0.0, 1.0);
    const double setPoint = params_[kParamSetPoint];
    const auto mode = params_[kParamMode];
    for (int ui = 0; ui < 2; ++ui) {
        auto& u = units_[static_cast<std::size_t>(ui)];
        auto toward = [&](double& x, double target, double rate, double sd) {
            x += rate * (target - x) + sd * noise(rng_);
        };
        const bool comp = CompressorRunning(ui);
        const bool heating = comp && mode == kModeHeat;
        const double oat = Oat(ui);

        for (std::size_t p = 0; p < 3; ++p) {
            const auto a = u.alarms[kSlotVoltA + p];
            toward(u.volt[p], a == 0x01 ? 182 : a == 0x02 ? 252 : 220, 0.3, 1.2);
        }
        const double baseAmps = comp ? (ui == 0 ? 8.5 : 7.6) : powerOn_ ? 1.4 : 0.0;
        for (std::size_t p = 0; p < 3; ++p) {
            const auto a = u.alarms[kSlotCurA + p];
            const double target = a == 0x02   ? baseAmps * 1.8 + 4
                                  : a == 0x01 ? baseAmps * 0.3
                                              : baseAmps;
            toward(u.amps[p], target, 0.4, target > 0 ? 0.25 : 0.0);
            u.amps[p] = std::max(0.0, u.amps[p]);
        }
        double returnTarget = !powerOn_ ? 31
                              : heating ? setPoint - 1
                              : comp    ? setPoint + 1
                                        : setPoint + 3;
        if (u.alarms[kSlotReturnT] == 0x02) returnTarget = 38;
        if (u.alarms[kSlotReturnT] == 0x01) returnTarget = 12;
        toward(u.returnT, returnTarget, 0.15, 0.2);
        toward(u.supplyT,
               heating ? u.returnT + 12
               : comp  ? u.returnT - 10
                       : u.returnT - 0.5,
               0.3, 0.2);
        double humTarget = comp && mode == kModeDry ? 42 : 55;
        if (u.alarms[kSlotReturnH] == 0x02) humTarget = 86;
        if (u.alarms[kSlotReturnH] == 0x01) humTarget = 18;
        toward(u.returnH, humTarget, 0.1, 0.6);
        toward(u.supplyH, comp && !heating ? 75 : u.returnH, 0.2, 0.6);
        toward(u.suctionP, comp ? (heating ? 380 : 520) : 950, 0.25, 4);
        toward(u.dischargeP, comp ? (heating ? 2050 : 1750) : 950, 0.25, 12);
        toward(u.dischargeT, comp ? 78 : oat + 2, 0.1, 0.4);
        toward(u.outdoorH, 62, 0.05, 0.8);
        toward(u.coilT, heating ? 42 : comp ? 8 : u.returnT, 0.2, 0.2);
        u.outdoorH = std::clamp(u.outdoorH, 5.0, 100.0);
        u.returnH = std::clamp(u.returnH, 5.0, 100.0);
        u.supplyH = std::clamp(u.supplyH, 5.0, 100.0);
    }
}

void Controller::AlarmEvent(double t) {
    // Clear what is due first.
    for (int ui = 0; ui < 2; ++ui) {
        auto& u = units_[static_cast<std::size_t>(ui)];
        for (std::size_t s = 0; s < kAlarmSlots; ++s) {
            if (u.alarms[s] != 0 && u.alarms[s] != kNotDetectedByte && u.clearAt[s] <= t) {
                u.alarms[s] = 0;
                u.alarmChanged = true;
            }
        }
    }
    if (nextAlarmEvent_ < 0 || t < nextAlarmEvent_) return;
    std::exponential_distribution<double> gap(1.0 / cfg_.alarmEventSeconds);
    nextAlarmEvent_ = t + std::max(1.0, gap(rng_));

    // Raise the next code of the rotation on some unit, so that every code
    // turns up within a few events: below limit, above limit, fault.
    static constexpr std::array<std::uint8_t, 3> kCodes{0x01, 0x02, 0xF0};
    const std::uint8_t code = kCodes[alarmRotation_++ % kCodes.size()];
    const int ui = std::uniform_int_distribution<int>(0, 1)(rng_);
    auto& u = units_[static_cast<std::size_t>(ui)];
    const std::size_t active = static_cast<std::size_t>(std::count_if(
        u.alarms.begin(), u.alarms.end(), [](std::uint8_t a) { return a != 0 && a != 0x20; }));
    if (active >= 4) return;
    // Limits belong to measured quantities; faults to any part.
    const std::size_t hi = code == 0xF0 ? kAlarmSlots - 1 : kSlotReturnH;
    for (int tries = 0; tries < 8; ++tries) {
        const auto s = static_cast<std::size_t>(
            std::uniform_int_distribution<int>(0, static_cast<int>(hi))(rng_));
        if (AlarmSlotAbsent(ui, s) || u.alarms[s] != 0) continue;
        u.alarms[s] = code;
        u.clearAt[s] = t + std::uniform_real_distribution<double>(4.0, 15.0)(rng_);
        u.alarmChanged = true;
        if (std::find(codesSeen_.begin(), codesSeen_.end(), code) == codesSeen_.end())
            codesSeen_.push_back(code);
        return;
    }
}

void Controller::Advance(double t) {
    if (t <= now_) return;
    const double dt = t - now_;
    for (int ui = 0; ui < 2; ++ui) {
        auto& u = units_[static_cast<std::size_t>(ui)];
        if (powerOn_) u.unitSecs += dt;
        if (CompressorRunning(ui)) u.compSecs += dt;
    }
    now_ = t;
    // The plant moves in whole seconds; a long gap is caught up in bounded work.
    if (t - stepped_ > 3600) stepped_ = t - 3600;
    while (stepped_ + 1.0 <= t) {
        stepped_ += 1.0;
        StepSecond();
        AlarmEvent(stepped_);
    }
}

int Controller::PickUnit(std::uint8_t cid2, std::span<const std::uint8_t> info) {
    if (!info.empty()) return info[0];
    switch (cfg_.units) {
        case UnitChoice::Unit0:
            return 0;
        case UnitChoice::Unit1:
            return 1;
        case UnitChoice::Alternate:
            break;
    }
    return static_cast<int>(pollTurn_[static_cast<std::size_t>(cid2 - 0x42)]++ % 2);
}

bool Controller::SetAlarm(int unit, std::size_t slot, std::uint8_t code) {
    if (unit < 0 || unit > 1 || slot >= kAlarmSlots || AlarmSlotAbsent(unit, slot)) return false;
    auto& u = units_[static_cast<std::size_t>(unit)];
    if (u.alarms[slot] != code) u.alarmChanged = true;
    u.alarms[slot] = code;
    // A held alarm is never cleared by the plant; a held "normal" is simply 0.
    u.clearAt[slot] = code == 0 ? 0 : std::numeric_limits<double>::infinity();
    if (code != 0 && std::find(codesSeen_.begin(), codesSeen_.end(), code) == codesSeen_.end())
        codesSeen_.push_back(code);
    return true;
}

void Controller::ClearHeldAlarms() {
    for (auto& u : units_)
        for (std::size_t s = 0; s < kAlarmSlots; ++s)
            if (std::isinf(u.clearAt[s])) {
                u.clearAt[s] = 0;
                u.alarms[s] = 0;
                u.alarmChanged = true;
            }
}

void Controller::SetPower(bool on) {
    if (on == powerOn_) return;
    powerOn_ = on;
    for (auto& u : units_)
        u.switchChanged = true;
}

std::vector<std::uint8_t> Controller::AnalogInfo(int unit) const {
    const auto& u = units_[static_cast<std::size_t>(unit)];
    std::vector<std::uint8_t> v;
    v.push_back(static_cast<std::uint8_t>(unit << 1 | (u.alarmChanged ? 1 : 0) |
                                          (u.switchChanged ? 0x10 : 0)));
    for (double x : u.volt)
        PutCount(v, x);
    for (double x : u.amps)
        PutCount(v, x);
    PutReading(v, u.supplyT);
    PutReading(v, u.returnT);
    if (unit == 1)
        PutWord(v, kNotDetected);
    else
        PutCount(v, u.supplyH);
    PutCount(v, u.returnH);
    PutCount(v, u.suctionP);
    PutCount(v, u.dischargeP);
    v.push_back(6);  // six trailing words follow
    PutReading(v, Oat(unit));
    PutReading(v, u.dischargeT);
    if (unit == 0)
        PutWord(v, kNotDetected);
    else
        PutCount(v, u.outdoorH);
    if (unit == 1)
        PutWord(v, kNotDetected);
    else
        PutReading(v, u.coilT);
    PutCount(v, u.compHoursBase + std::floor(u.compSecs / cfg_.secondsPerHour));
    PutCount(v, u.unitHoursBase + std::floor(u.unitSecs / cfg_.secondsPerHour));
    return v;
}

std::vector<std::uint8_t> Controller::SwitchInfo(int unit) const {
    const auto& u = units_[static_cast<std::size_t>(unit)];
    const bool comp = CompressorRunning(unit);
    const auto mode = params_[kParamMode];
    const bool heating = comp && mode == kModeHeat;
    std::vector<std::uint8_t> v;
    v.push_back(static_cast<std::uint8_t>(unit << 1 | (u.alarmChanged ? 1 : 0) |
                                          (u.switchChanged ? 0x10 : 0)));
    v.push_back(powerOn_ ? 0 : 1);
    v.push_back(9);
    v.push_back(static_cast<std::uint8_t>(mode));
    const auto fan = mode == kModeDry ? 1 : params_[kParamFan];
    v.push_back(powerOn_ ? static_cast<std::uint8_t>(fan) : 0);  // indoor fan
    v.push_back(heating ? 1 : 0);                                // four-way valve
    v.push_back(comp ? 1 : 0);                                   // compressor
    v.push_back(comp ? (Oat(unit) > 25 ? 3 : 2) : 0);            // outdoor fan
    if (unit == 1)
        v.push_back(kNotDetectedByte);  // swing: no louvre motor
    else
        v.push_back(powerOn_ && params_[kParamSwing] == 1 ? 1 : 0);
    v.push_back(heating && Oat(unit) < 0 ? 1 : 0);                // electric heater
    v.push_back(unit == 0 ? kNotDetectedByte : std::uint8_t{0});  // exhaust fan
    v.push_back(unit == 0 ? kNotDetectedByte : std::uint8_t{0});  // water pump
    return v;
}

std::vector<std::uint8_t> Controller::AlarmInfo(int unit) const {
    const auto& u = units_[static_cast<std::size_t>(unit)];
    std::vector<std::uint8_t> v(2 + kAlarmSlots);
    v[0] = static_cast<std::uint8_t>(unit << 1 | (u.alarmChanged ? 1 : 0) |
                                     (u.switchChanged ? 0x10 : 0));
    for (std::size_t s = 0; s < kAlarmSlots; ++s)
        v[SlotOffset(s)] = u.alarms[s];
    v[12] = static_cast<std::uint8_t>(kAlarmSlots - kFixedAlarms);
    return v;
}

std::vector<std::uint8_t> Controller::ParamInfo() const {
    std::vector<std::uint8_t> v;
    for (std::size_t i = 0; i < 7; ++i)
        PutWord(v, params_[i]);
    v.push_back(9);
    for (std::size_t i = 7; i < kParamCount; ++i)
        PutWord(v, params_[i]);
    return v;
}

std::vector<std::uint8_t> Controller::VendorInfo() const {
    std::vector<std::uint8_t> v;
    PutField(v, cfg_.identity.name, 30);
    PutField(v, cfg_.identity.softVersion, 20);
    PutField(v, cfg_.identity.vendor, 20);
    return v;
}

Reply Controller::Make(std::uint8_t cid2, std::uint8_t rtn, int unit,
                       std::vector<std::uint8_t> info) const {
    Reply r;
    r.cid2 = cid2;
    r.rtn = rtn;
    r.unit = unit;
    r.info = std::move(info);
    r.frame = BuildReply(cfg_.protocolVersion, cfg_.address, kCid1, rtn, r.info);
    return r;
}

Reply Controller::ErrorReply(std::uint8_t cid2, std::uint8_t rtn) const {
    return Make(cid2, rtn, -1, {});
}

std::optional<Reply> Controller::Handle(std::span<const std::uint8_t> frame,
                                        std::optional<std::uint8_t> refuse) {
    const CommandFrame c = ParseCommand(frame);
    if (!c.addr || *c.addr != cfg_.address) return std::nullopt;
    switch (c.verdict) {
        case CommandFrame::Verdict::Malformed:
            return ErrorReply(c.cid2, RtnFormat);
        case CommandFrame::Verdict::BadChkSum:
            return ErrorReply(c.cid2, RtnChkSum);
        case CommandFrame::Verdict::BadLChkSum:
            return ErrorReply(c.cid2, RtnLChkSum);
        case CommandFrame::Verdict::BadLength:
            return ErrorReply(c.cid2, RtnFormat);
        case CommandFrame::Verdict::Ok:
            break;
    }
    // The version query is how a master learns the version, so it is answered
    // whatever VER it carries.
    if (c.ver != cfg_.protocolVersion && c.cid2 != 0x4F) return ErrorReply(c.cid2, RtnVer);
    if (c.cid1 != kCid1) return ErrorReply(c.cid2, RtnCid2);
    if (refuse) {
        Reply r = ErrorReply(c.cid2, *refuse);
        r.refused = true;
        return r;
    }

    const auto& info = c.info;
    switch (c.cid2) {
        case 0x42:
        case 0x43:
        case 0x44: {
            if (info.size() > 1) return ErrorReply(c.cid2, RtnFormat);
            const int unit = PickUnit(c.cid2, info);
            if (unit < 0 || unit > 1) return ErrorReply(c.cid2, RtnData);
            auto& u = units_[static_cast<std::size_t>(unit)];
            if (c.cid2 == 0x42) return Make(c.cid2, RtnOk, unit, AnalogInfo(unit));
            if (c.cid2 == 0x43) {
                auto r = Make(c.cid2, RtnOk, unit, SwitchInfo(unit));
                u.switchChanged = false;
                return r;
            }
            auto r = Make(c.cid2, RtnOk, unit, AlarmInfo(unit));
            u.alarmChanged = false;
            return r;
        }
        case 0x45: {
            if (info.size() != 1) return ErrorReply(c.cid2, RtnFormat);
            if (info[0] != 0x10 && info[0] != 0x1F) return ErrorReply(c.cid2, RtnData);
            const bool on = info[0] == 0x10;
            if (on != powerOn_) {
                powerOn_ = on;
                for (auto& u : units_)
                    u.switchChanged = true;
            }
            return Make(c.cid2, RtnOk, -1, {});
        }
        case 0x47:
            if (!info.empty()) return ErrorReply(c.cid2, RtnFormat);
            return Make(c.cid2, RtnOk, -1, ParamInfo());
        case 0x49: {
            if (info.size() != 3) return ErrorReply(c.cid2, RtnFormat);
            const auto idx = ParamIndex(info[0]);
            if (!idx) return ErrorReply(c.cid2, RtnData);
            const auto value = static_cast<std::uint16_t>(info[1] << 8 | info[2]);
            // Choices must name one of their options; numbers are taken as sent.
            const std::uint16_t limit = *idx == kParamMode                          ? 6
                                        : *idx == kParamFan                         ? 3
                                        : *idx == kParamSwing || *idx == kParamLock ? 1
                                                                                    : 0xFFFF;
            if (value > limit) return ErrorReply(c.cid2, RtnData);
            const auto& takes = takes_[*idx];
            if (!takes.empty() && std::find(takes.begin(), takes.end(), value) == takes.end())
                return ErrorReply(c.cid2, RtnData);
            if (params_[*idx] != value && *idx >= kParamMode && *idx <= kParamSwing)
                for (auto& u : units_)
                    u.switchChanged = true;
            params_[*idx] = value;
            return Make(c.cid2, RtnOk, -1, {});
        }
        case 0x4F:
        case 0x50:
            if (!info.empty()) return ErrorReply(c.cid2, RtnFormat);
            return Make(c.cid2, RtnOk, -1, {});
        case 0x51:
            if (!info.empty()) return ErrorReply(c.cid2, RtnFormat);
            return Make(c.cid2, RtnOk, -1, VendorInfo());
        default:
            return ErrorReply(c.cid2, RtnCid2);
    }
}

}  // namespace acsim
