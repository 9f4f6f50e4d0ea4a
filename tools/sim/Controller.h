// The air-conditioner controller: the slave side of the frame protocol with two
// units whose readings drift, a parameter store, a power switch and alarms that
// come and go.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "SimFrame.h"

namespace acsim {

struct Identity {
    std::string name = "ACSIM-2 split AC controller";  // up to 30 bytes
    std::string softVersion = "V1.0.3 2026-12-01";     // up to 20 bytes
    std::string vendor = "Simulated Climate";          // up to 20 bytes
};

// Which unit the poll replies (0x42, 0x43, 0x44) describe.
enum class UnitChoice { Alternate, Unit0, Unit1 };

struct ControllerConfig {
    std::uint8_t address = 1;
    std::uint8_t protocolVersion = 0x10;
    UnitChoice units = UnitChoice::Alternate;
    Identity identity;
    // Simulated seconds of running per counted "running hour", so that the
    // counters visibly increase.
    double secondsPerHour = 10.0;
    // Mean seconds between alarm events (an alarm raised or cleared); 0 keeps
    // every alarm quiet.
    double alarmEventSeconds = 6.0;
    std::uint32_t seed = 1;
};

// The user parameters, by position: codes 0x80..0x86, then 0xC0..0xC8 (the core's rule).
constexpr std::size_t kParamCount = 16;
std::optional<std::size_t> ParamIndex(std::uint8_t code);
std::uint8_t ParamCode(std::size_t index);

struct Reply {
    std::uint8_t cid2 = 0;  // command answered
    std::uint8_t rtn = 0;   // its return code
    int unit = -1;          // unit described (poll replies), else -1
    bool refused = false;   // answered with the return code asked for, not carried out
    std::vector<std::uint8_t> info;
    std::string frame;  // the whole reply, "~" to carriage return
};

class Controller {
  public:
    static constexpr std::size_t kUnits = 2;
    static constexpr std::size_t kAlarmSlots = 36;  // 11 fixed + 25 items of reply 0x44

    explicit Controller(ControllerConfig cfg);

    // Moves the simulated plant to time t (seconds since start; never backward).
    void Advance(double t);

    // Answers one received frame ("~" to carriage return). No reply for a frame
    // addressed to another controller or too damaged to carry an address. With
    // `refuse`, a command that passes every check is answered with that return
    // code and no INFO and is not carried out: a refused set changes nothing.
    std::optional<Reply> Handle(std::span<const std::uint8_t> frame,
                                std::optional<std::uint8_t> refuse = std::nullopt);

    // A reply carrying only the given return code, for the header the
    // controller uses.
    Reply ErrorReply(std::uint8_t cid2, std::uint8_t rtn) const;

    // Payloads of the poll and parameter replies, as they would be sent now.
    std::vector<std::uint8_t> AnalogInfo(int unit) const;
    std::vector<std::uint8_t> SwitchInfo(int unit) const;
    std::vector<std::uint8_t> AlarmInfo(int unit) const;
    std::vector<std::uint8_t> ParamInfo() const;
    std::vector<std::uint8_t> VendorInfo() const;

    // Held states set from outside (a test's control commands): an alarm code
    // that stays until changed again, whatever the plant's own alarm events do,
    // and the power state. SetAlarm refuses (false) a slot whose sensor this
    // unit does not have.
    bool SetAlarm(int unit, std::size_t slot, std::uint8_t code);
    // Clears every alarm set by SetAlarm.
    void ClearHeldAlarms();
    void SetPower(bool on);
    // Stores a user parameter as given, unchecked (a test's own setting).
    void SetParam(std::size_t index, std::uint16_t value) { params_[index] = value; }
    void SetProtocolVersion(std::uint8_t ver) { cfg_.protocolVersion = ver; }
    // The values a set (0x49) of the parameter at `index` may carry: any other is refused
    // with RTN 6 and changes nothing, as a controller without that mode or speed does.
    // Empty: the built-in rule (choices within their table, numbers as sent).
    void SetTakes(std::size_t index, std::vector<std::uint16_t> values) {
        takes_[index] = std::move(values);
    }

    bool PoweredOn() const { return powerOn_; }
    std::uint16_t Param(std::size_t index) const { return params_[index]; }
    std::uint8_t Alarm(int unit, std::size_t slot) const { return units_[unit].alarms[slot]; }
    // Every alarm code that has been reported active so far.
    const std::vector<std::uint8_t>& AlarmCodesSeen() const { return codesSeen_; }
    const ControllerConfig& Config() const { return cfg_; }

  private:
    struct UnitState {
        std::array<double, 3> volt{220, 221, 219};
        std::array<double, 3> amps{0, 0, 0};
        double supplyT = 24, returnT = 27, supplyH = 55, returnH = 52;
        double suctionP = 900, dischargeP = 900;
        double oatPhase = 0, dischargeT = 30, outdoorH = 60, coilT = 20;
        double unitSecs = 0, compSecs = 0;
        std::uint32_t unitHoursBase = 0, compHoursBase = 0;
        std::array<std::uint8_t, kAlarmSlots> alarms{};
        std::array<double, kAlarmSlots> clearAt{};
        bool alarmChanged = false, switchChanged = false;
    };

    bool CompressorRunning(int unit) const;
    double Oat(int unit) const;
    int PickUnit(std::uint8_t cid2, std::span<const std::uint8_t> info);
    Reply Make(std::uint8_t cid2, std::uint8_t rtn, int unit, std::vector<std::uint8_t> info) const;
    void StepSecond();
    void AlarmEvent(double t);

    ControllerConfig cfg_;
    std::mt19937 rng_;
    double now_ = 0;
    double stepped_ = 0;
    double nextAlarmEvent_ = 0;
    unsigned alarmRotation_ = 0;
    bool powerOn_ = true;
    std::array<std::uint16_t, kParamCount> params_{};
    std::array<std::vector<std::uint16_t>, kParamCount> takes_{};
    std::array<UnitState, kUnits> units_{};
    std::array<unsigned, 3> pollTurn_{};  // alternation of 0x42, 0x43, 0x44
    std::vector<std::uint8_t> codesSeen_;
};

}  // namespace acsim
