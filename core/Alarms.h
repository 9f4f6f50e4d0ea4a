// The alarm summary: every alarm that stands now on either unit, the fields the unit
// monitor panel hides included, with the time it was first seen, newest first.
//
// An observer of the monitoring core. Each decoded 0x44 reply of a unit replaces what is
// known of that unit's alarms: a field whose code is anything but normal (0) stands, a
// field reported normal or not detected, or not carried by a shorter reply, does not. An
// alarm stands "since" the reply that first showed it in its present state: a change of
// state (above the upper limit to fault) is a new alarm. The alarms of a unit's first
// reply began before it, and say so. Nothing is forgotten when the link closes: the
// summary shows what the controller last said, as the panels do.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Events.h"
#include "Model.h"

namespace aircon {

// The units of a controller: 空调1 and 空调2.
inline constexpr int AlarmUnitCount = 2;

// True for the alarms that need the engineer first: a fault (code 0xF0) of any field, and
// any state of the water leak, fire and theft alarms.
bool IsSeriousAlarm(std::size_t Field, std::uint8_t Code);

// The word of an alarm code that stands: the panel's word ("低于下限", "高于上限", "故障"),
// or for a code the panel leaves empty, the code itself ("代码 0x03").
std::string AlarmStateText(std::uint8_t Code);

// "空调1", "空调2".
std::string UnitName(int Unit);

struct TActiveAlarm {
    int Unit = 0;           // 0 or 1
    std::size_t Field = 0;  // in AlarmFields order
    std::uint8_t Code = 0;  // never 0
    TStamp Since;           // the reply that first showed it in this state
    // It stood already in the first reply of its unit: it began before Since.
    bool BeforeFirstRead = false;
    bool Serious = false;
    std::uint64_t Serial = 0;  // counts the alarms as they appear
    std::uint64_t Reply = 0;   // counts the alarm replies: orders alarms of equal times
    const TFieldInfo& Info() const { return AlarmFields[Field]; }
};

// A field the unit monitor panel hides (its caption and value are invisible there), as
// the last reply of its kind said it.
struct THiddenField {
    int Unit = 0;
    TFieldGroup Group = TFieldGroup::Alarms;  // Switches or Alarms
    const TFieldInfo* Field = nullptr;
    bool Read = false;  // a reply has carried it
    std::string Text;   // the panel's word for the value ("关闭", "正常", "未检测", ...)
    TValueColour Colour = TValueColour::Ordinary;
    bool Alarm = false;  // an alarm field that stands
    friend bool operator==(const THiddenField&, const THiddenField&) = default;
};

class TAlarmSummary : public IMonitorObserver {
  public:
    // The alarms that stand, newest first; alarms that appeared with the same reply:
    // the serious first, then in field order.
    const std::vector<TActiveAlarm>& Active() const { return FActive; }
    std::size_t SeriousCount() const;
    // When the last alarm reply of Unit came; empty before the first.
    const std::optional<TStamp>& LastRead(int Unit) const;
    // The hidden fields of both units, unit by unit in field order: the switch states
    // first, then the alarms.
    std::vector<THiddenField> Hidden() const;
    // Counts the changes of what Active() and Hidden() give.
    std::uint64_t Revision() const { return FRevision; }

    // After a reply that changed what the summary shows, with the alarms that appeared
    // with it (none when alarms only cleared or a hidden value changed).
    std::function<void(std::span<const TActiveAlarm> Appeared)> OnChanged;

    void OnReplyDecoded(const TDecodedReply& Reply) override;

  private:
    void TakeAlarms(const TStamp& At, const TAlarmStates& States);
    void TakeSwitches(const TSwitchStates& States);

    std::vector<TActiveAlarm> FActive;
    std::array<std::optional<TStamp>, AlarmUnitCount> FLastRead{};
    std::array<std::optional<TAlarmStates>, AlarmUnitCount> FAlarms{};
    std::array<std::optional<TSwitchStates>, AlarmUnitCount> FSwitches{};
    std::uint64_t FSerial = 0;
    std::uint64_t FReplies = 0;  // alarm replies taken
    std::uint64_t FRevision = 0;
};

}  // namespace aircon
