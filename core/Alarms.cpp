#include "Alarms.h"

#include <algorithm>
#include <string_view>
#include <type_traits>
#include <variant>

#include "HexText.h"

namespace aircon {

namespace {

constexpr std::uint8_t FaultCode = 0xF0;

// Alarms that are serious in any state: water in the shelter, fire, the outdoor unit
// being stolen.
constexpr std::string_view SeriousKeys[] = {"water_leak", "fire", "outdoor_unit_stolen"};

// Newest first; of one reply, the serious first, then in field order.
bool ShownBefore(const TActiveAlarm& A, const TActiveAlarm& B) {
    if (A.Since.Time != B.Since.Time) return A.Since.Time > B.Since.Time;
    if (A.Reply != B.Reply) return A.Reply > B.Reply;
    if (A.Serious != B.Serious) return A.Serious;
    return A.Field < B.Field;
}

bool ValidUnit(int Unit) {
    return Unit >= 0 && Unit < AlarmUnitCount;
}

}  // namespace

bool IsSeriousAlarm(std::size_t Field, std::uint8_t Code) {
    if (Code == 0) return false;
    if (Code == FaultCode) return true;
    if (Field >= AlarmFields.size()) return false;
    return std::find(std::begin(SeriousKeys), std::end(SeriousKeys), AlarmFields[Field].Key) !=
           std::end(SeriousKeys);
}

std::string AlarmStateText(std::uint8_t Code) {
    const std::string_view word = AlarmCodeText(Code);
    if (!word.empty()) return std::string(word);
    return "代码 0x" + util::Hex(Code, 2);
}

std::string UnitName(int Unit) {
    return "空调" + std::to_string(Unit + 1);
}

std::size_t TAlarmSummary::SeriousCount() const {
    return static_cast<std::size_t>(std::count_if(FActive.begin(), FActive.end(),
                                                  [](const TActiveAlarm& a) { return a.Serious; }));
}

const std::optional<TStamp>& TAlarmSummary::LastRead(int Unit) const {
    static const std::optional<TStamp> none;
    return ValidUnit(Unit) ? FLastRead[static_cast<std::size_t>(Unit)] : none;
}

std::vector<THiddenField> TAlarmSummary::Hidden() const {
    std::vector<THiddenField> out;
    for (int unit = 0; unit < AlarmUnitCount; ++unit) {
        const auto u = static_cast<std::size_t>(unit);
        for (std::size_t i = 0; i < SwitchFields.size(); ++i) {
            if (!SwitchFields[i].Hidden) continue;
            THiddenField h;
            h.Unit = unit;
            h.Group = TFieldGroup::Switches;
            h.Field = &SwitchFields[i];
            if (FSwitches[u] && i < FSwitches[u]->Count) {
                const TStateCode code = FSwitches[u]->Items[i];
                h.Read = true;
                h.Text = std::string(SwitchItemWord(i, code));
                h.Colour = StateColour(code);
            }
            out.push_back(std::move(h));
        }
        for (std::size_t i = 0; i < AlarmFields.size(); ++i) {
            if (!AlarmFields[i].Hidden) continue;
            THiddenField h;
            h.Unit = unit;
            h.Group = TFieldGroup::Alarms;
            h.Field = &AlarmFields[i];
            if (FAlarms[u] && i < FAlarms[u]->Count) {
                const TStateCode code = FAlarms[u]->Codes[i];
                h.Read = true;
                h.Alarm = code && *code != 0;
                h.Text = h.Alarm ? AlarmStateText(*code) : std::string(AlarmText(code));
                h.Colour = AlarmColour(code);
            }
            out.push_back(std::move(h));
        }
    }
    return out;
}

void TAlarmSummary::OnReplyDecoded(const TDecodedReply& Reply) {
    std::visit(
        [&](const auto& r) {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, TAlarmStates>) {
                TakeAlarms(Reply.At, r);
            } else if constexpr (std::is_same_v<T, TSwitchStates>) {
                TakeSwitches(r);
            }
        },
        Reply.Data);
}

void TAlarmSummary::TakeSwitches(const TSwitchStates& States) {
    if (!ValidUnit(States.Unit)) return;
    auto& kept = FSwitches[static_cast<std::size_t>(States.Unit)];
    // Only the hidden items matter here: other changes leave the summary as it is.
    bool changed = !kept || kept->Count != States.Count;
    for (std::size_t i = 0; !changed && i < SwitchFields.size(); ++i)
        changed = SwitchFields[i].Hidden && kept->Items[i] != States.Items[i];
    kept = States;
    if (!changed) return;
    ++FRevision;
    if (OnChanged) OnChanged({});
}

void TAlarmSummary::TakeAlarms(const TStamp& At, const TAlarmStates& States) {
    if (!ValidUnit(States.Unit)) return;
    const auto u = static_cast<std::size_t>(States.Unit);
    const bool firstRead = !FLastRead[u];
    FLastRead[u] = At;
    const bool hiddenChanged = [&] {
        if (!FAlarms[u] || FAlarms[u]->Count != States.Count) return true;
        for (std::size_t i = 0; i < AlarmFields.size(); ++i)
            if (AlarmFields[i].Hidden && FAlarms[u]->Codes[i] != States.Codes[i]) return true;
        return false;
    }();
    FAlarms[u] = States;
    ++FReplies;

    // What stands now for this unit: kept with its time when its state is unchanged.
    std::vector<TActiveAlarm> next;
    std::vector<TActiveAlarm> appeared;
    bool cleared = false;
    for (const TActiveAlarm& a : FActive) {
        if (a.Unit != States.Unit) {
            next.push_back(a);
            continue;
        }
        const TStateCode code = a.Field < States.Count ? States.Codes[a.Field] : std::nullopt;
        if (code && *code == a.Code)
            next.push_back(a);
        else
            cleared = true;
    }
    for (std::size_t i = 0; i < States.Count && i < AlarmFields.size(); ++i) {
        const TStateCode code = States.Codes[i];
        if (!code || *code == 0) continue;
        const bool standing = std::any_of(next.begin(), next.end(), [&](const TActiveAlarm& a) {
            return a.Unit == States.Unit && a.Field == i;
        });
        if (standing) continue;
        TActiveAlarm a;
        a.Unit = States.Unit;
        a.Field = i;
        a.Code = *code;
        a.Since = At;
        a.BeforeFirstRead = firstRead;
        a.Serious = IsSeriousAlarm(i, *code);
        a.Serial = ++FSerial;
        a.Reply = FReplies;
        appeared.push_back(a);
    }
    if (appeared.empty() && !cleared && !hiddenChanged) return;

    next.insert(next.end(), appeared.begin(), appeared.end());
    std::sort(next.begin(), next.end(), ShownBefore);
    std::sort(appeared.begin(), appeared.end(), ShownBefore);
    FActive = std::move(next);
    ++FRevision;
    if (OnChanged) OnChanged(appeared);
}

}  // namespace aircon
