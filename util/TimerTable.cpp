#include "TimerTable.h"

#include <algorithm>

namespace util {

TTimerTable::TId TTimerTable::Add(const std::function<void()>* OnFire) {
    const TId id = ++FNextId;
    FTimers[id].OnFire = OnFire;
    return id;
}

void TTimerTable::Remove(TId Id) {
    FTimers.erase(Id);
}

void TTimerTable::Start(TId Id, TInterval Interval, TTime Now) {
    TTimer& t = FTimers[Id];
    t.Running = true;
    t.Interval = std::max(Interval, TInterval(1));
    t.Due = Now + t.Interval;
    t.Order = ++FNextOrder;
}

void TTimerTable::Stop(TId Id) {
    FTimers[Id].Running = false;
}

const TTimerTable::TTimer* TTimerTable::First(TTime Limit) const {
    const TTimer* best = nullptr;
    for (const auto& [id, t] : FTimers) {
        if (!t.Running || t.Due > Limit) continue;
        if (!best || t.Due < best->Due || (t.Due == best->Due && t.Order < best->Order)) best = &t;
    }
    return best;
}

std::optional<TTimerTable::TTime> TTimerTable::NextDue() const {
    if (const TTimer* t = First(TTime::max())) return t->Due;
    return std::nullopt;
}

std::size_t TTimerTable::Running() const {
    return static_cast<std::size_t>(std::count_if(FTimers.begin(), FTimers.end(),
                                                  [](const auto& t) { return t.second.Running; }));
}

std::optional<TTimerTable::TDue> TTimerTable::TakeDue(TTime Limit, TTime Now) {
    auto* t = const_cast<TTimer*>(First(Limit));
    if (!t) return std::nullopt;
    const TTime due = t->Due;
    const TTime firedAt = std::max(Now, due);
    TTime next = due + t->Interval;
    if (next <= firedAt) next = firedAt + t->Interval;  // fell behind: keep the cadence from now
    t->Due = next;
    t->Order = ++FNextOrder;
    return TDue{due, t->OnFire ? *t->OnFire : std::function<void()>{}};
}

}  // namespace util
