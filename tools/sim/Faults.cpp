#include "Faults.h"

#include <algorithm>

#include "HexText.h"

namespace acsim {

const char* FateName(Fate f) {
    switch (f) {
        case Fate::Intact:
            return "intact";
        case Fate::Dropped:
            return "dropped";
        case Fate::Delayed:
            return "delayed";
        case Fate::Corrupted:
            return "corrupted";
    }
    return "?";
}

FaultInjector::FaultInjector(FaultConfig cfg) : cfg_(std::move(cfg)), rng_(cfg_.seed) {}

bool FaultInjector::Chance(double rate) {
    if (rate <= 0) return false;
    if (rate >= 1) return true;
    return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < rate;
}

bool FaultInjector::ForceRtn() {
    return cfg_.rtn.has_value() && Chance(cfg_.rtnRate);
}

std::string FaultInjector::Noise() {
    // Line noise: anything but the start-of-frame character.
    const int n = std::uniform_int_distribution<int>(1, std::max(1, cfg_.noiseMax))(rng_);
    std::string s;
    std::uniform_int_distribution<int> byte(0, 255);
    while (static_cast<int>(s.size()) < n) {
        const int b = byte(rng_);
        if (b != '~') s.push_back(static_cast<char>(b));
    }
    return s;
}

Plan FaultInjector::Decide(const std::string& frame) {
    Plan p;
    if (Chance(cfg_.drop)) {
        p.fate = Fate::Dropped;
        return p;
    }
    std::string body = frame;
    if (Chance(cfg_.corrupt) && body.size() >= 18) {
        // Replace one CHKSUM character by another hexadecimal digit.
        const std::size_t pos =
            body.size() - 5 +
            static_cast<std::size_t>(std::uniform_int_distribution<int>(0, 3)(rng_));
        char c;
        do {
            c = util::HexDigit(std::uniform_int_distribution<unsigned>(0, 15)(rng_));
        } while (c == body[pos]);
        body[pos] = c;
        p.fate = Fate::Corrupted;
    }
    if (Chance(cfg_.delay)) {
        p.extraDelay = cfg_.delayMs / 1000.0;
        if (p.fate == Fate::Intact) p.fate = Fate::Delayed;
    }
    if (Chance(cfg_.noise)) {
        p.noise = true;
        p.pieces.push_back({Noise(), 0});
    }
    if (Chance(cfg_.stray)) {
        // A "~" and a few frame-like characters, but no end of frame.
        p.stray = true;
        std::string s = "~";
        const int n = std::uniform_int_distribution<int>(0, 6)(rng_);
        for (int i = 0; i < n; ++i)
            s.push_back(util::HexDigit(std::uniform_int_distribution<unsigned>(0, 15)(rng_)));
        p.pieces.push_back({s, 0});
    }
    if (Chance(cfg_.split)) {
        p.split = true;
        const double gap = cfg_.splitGapMs / 1000.0;
        std::size_t pos = 0;
        while (pos < body.size()) {
            const auto n = static_cast<std::size_t>(
                std::uniform_int_distribution<int>(1, std::max(1, cfg_.splitMax))(rng_));
            p.pieces.push_back({body.substr(pos, n), pos == 0 && p.pieces.empty() ? 0 : gap});
            pos += n;
        }
    } else {
        p.pieces.push_back({body, 0});
    }
    return p;
}

void Transmitter::Enqueue(double readyAt, std::vector<Piece> pieces) {
    std::erase_if(pieces, [](const Piece& p) { return p.bytes.empty(); });
    if (pieces.empty()) return;
    auto it = std::upper_bound(jobs_.begin(), jobs_.end(), readyAt,
                               [](double t, const Job& j) { return t < j.readyAt; });
    jobs_.insert(it, Job{readyAt, std::move(pieces)});
}

std::string Transmitter::Due(double now) {
    std::string out;
    for (;;) {
        if (!active_) {
            if (jobs_.empty() || jobs_.front().readyAt > now || lineFree_ > now) break;
            active_ = std::move(jobs_.front());
            jobs_.pop_front();
            piece_ = byte_ = 0;
            gapTaken_ = true;  // the first piece follows the ready time directly
            cursor_ = std::max(now, lineFree_);
        }
        const auto& pieces = active_->pieces;
        while (piece_ < pieces.size()) {
            if (!gapTaken_) {
                cursor_ += pieces[piece_].gapBefore;
                gapTaken_ = true;
            }
            if (cursor_ > now) return out;
            out.push_back(pieces[piece_].bytes[byte_]);
            cursor_ += byteTime_;
            if (++byte_ == pieces[piece_].bytes.size()) {
                ++piece_;
                byte_ = 0;
                gapTaken_ = false;
            }
        }
        lineFree_ = cursor_;
        active_.reset();
    }
    return out;
}

std::optional<double> Transmitter::NextWake() const {
    if (active_) {
        double t = cursor_;
        if (!gapTaken_ && piece_ < active_->pieces.size()) t += active_->pieces[piece_].gapBefore;
        return t;
    }
    if (jobs_.empty()) return std::nullopt;
    return std::max(jobs_.front().readyAt, lineFree_);
}

bool Transmitter::AtPause() const {
    if (!active_) return true;
    return !gapTaken_ && piece_ < active_->pieces.size() && active_->pieces[piece_].gapBefore > 0;
}

void Transmitter::Clear() {
    jobs_.clear();
    active_.reset();
}

}  // namespace acsim
