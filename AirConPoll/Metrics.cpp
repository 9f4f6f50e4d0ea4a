#include "Metrics.h"

#include <chrono>
#include <cstdio>
#include <type_traits>
#include <variant>
#include <vector>

namespace airconpoll {

using namespace aircon;

namespace {

constexpr std::string_view Replacement = "\xEF\xBF\xBD";  // U+FFFD

// One metric family: HELP and TYPE once, then its samples.
class TFamily {
  public:
    TFamily(std::string& Out, std::string_view Name, std::string_view Type, std::string_view Help)
        : FOut(Out), FName(Name), FType(Type), FHelp(Help) {}

    // Labels: the labels of the line or controller ('port="..."' and maybe ',addr="..."')
    // first, then pairs of name and already escaped value.
    void Sample(const std::string& First,
                std::initializer_list<std::pair<std::string_view, std::string_view>> Labels,
                std::string_view Value) {
        if (!FHeaderDone) {
            FOut += "# HELP ";
            FOut += FName;
            FOut += ' ';
            FOut += FHelp;
            FOut += "\n# TYPE ";
            FOut += FName;
            FOut += ' ';
            FOut += FType;
            FOut += '\n';
            FHeaderDone = true;
        }
        FOut += FName;
        FOut += '{';
        FOut += First;
        for (const auto& [name, value] : Labels) {
            FOut += ',';
            FOut += name;
            FOut += "=\"";
            FOut += value;
            FOut += '"';
        }
        FOut += "} ";
        FOut += Value;
        FOut += '\n';
    }

  private:
    std::string& FOut;
    std::string_view FName, FType, FHelp;
    bool FHeaderDone = false;
};

std::string Number(std::int64_t Value) {
    return std::to_string(Value);
}

// Seconds since the epoch with milliseconds.
std::string Seconds(WallTime Time) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Time.time_since_epoch()).count();
    const std::int64_t whole = ms / 1000;
    const std::int64_t frac = ms % 1000;
    char buf[40];
    if (ms < 0 && frac != 0)
        std::snprintf(buf, sizeof buf, "%lld.%03lld", static_cast<long long>(whole - 1),
                      static_cast<long long>(1000 + frac));
    else
        std::snprintf(buf, sizeof buf, "%lld.%03lld", static_cast<long long>(whole),
                      static_cast<long long>(frac));
    return buf;
}

}  // namespace

void TMetricsData::Apply(const TReplyData& Reply, std::optional<WallTime> At) {
    std::visit(
        [this, At](const auto& r) {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, TAnalogValues>) {
                if (r.Unit == 0 || r.Unit == 1) Analog[static_cast<std::size_t>(r.Unit)] = r;
            } else if constexpr (std::is_same_v<T, TSwitchStates>) {
                if (r.Unit == 0 || r.Unit == 1) Switches[static_cast<std::size_t>(r.Unit)] = r;
            } else if constexpr (std::is_same_v<T, TAlarmStates>) {
                if (r.Unit == 0 || r.Unit == 1) Alarms[static_cast<std::size_t>(r.Unit)] = r;
            } else if constexpr (std::is_same_v<T, TUserParams>) {
                Params = r;
                if (At) ParamsReadAt = At;
            } else if constexpr (std::is_same_v<T, TProtocolVersion>) {
                Version = r;
                if (At) InfoReadAt = At;
            } else if constexpr (std::is_same_v<T, TDeviceAddress>) {
                Address = r;
                if (At) InfoReadAt = At;
            } else if constexpr (std::is_same_v<T, TVendorInfo>) {
                Vendor = r;
                if (At) InfoReadAt = At;
            }
        },
        Reply);
}

void TMetricsData::ClearReadings() {
    Analog = {};
    Switches = {};
    Alarms = {};
    Params.reset();
    Version.reset();
    Address.reset();
    Vendor.reset();
    InfoReadAt.reset();
    ParamsReadAt.reset();
}

std::string EscapeLabelValue(std::string_view Text) {
    std::string out;
    out.reserve(Text.size());
    for (char c : Text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string ControllerLabelText(std::string_view Latin1) {
    Latin1 = WithoutPadding(Latin1);
    std::string out;
    out.reserve(Latin1.size() * 2);
    for (char ch : Latin1) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\n') {
            out += '\n';
        } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
            out += Replacement;
        } else {
            util::AppendLatin1(out, c);
        }
    }
    return out;
}

std::string Utf8LabelText(std::string_view Text) {
    std::string out;
    out.reserve(Text.size());
    std::size_t i = 0;
    while (i < Text.size()) {
        const auto c = static_cast<unsigned char>(Text[i]);
        if (c < 0x80) {
            if ((c < 0x20 && c != '\n') || c == 0x7F)
                out += Replacement;
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        // The length of a well-formed sequence starting here, 0 when there is none.
        const std::size_t n = c >= 0xC2 && c <= 0xDF   ? 2
                              : c >= 0xE0 && c <= 0xEF ? 3
                              : c >= 0xF0 && c <= 0xF4 ? 4
                                                       : 0;
        std::uint32_t cp = n == 2 ? c & 0x1Fu : n == 3 ? c & 0x0Fu : c & 0x07u;
        bool ok = n > 0 && i + n <= Text.size();
        for (std::size_t k = 1; ok && k < n; ++k) {
            const auto t = static_cast<unsigned char>(Text[i + k]);
            if ((t & 0xC0) != 0x80) ok = false;
            cp = cp << 6 | (t & 0x3F);
        }
        // No overlong forms, no surrogates, nothing beyond U+10FFFF.
        if (ok && ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
                   (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (!ok) {  // one replacement per byte that belongs to no character
            out += Replacement;
            ++i;
            continue;
        }
        if (cp >= 0x80 && cp < 0xA0) {  // a C1 control: one replacement for the character
            out += Replacement;
            i += n;
            continue;
        }
        out.append(Text.substr(i, n));
        i += n;
    }
    return out;
}

std::string UnitLabel(int Unit) {
    return std::to_string(Unit + 1);
}

namespace {

std::string Count(std::uint64_t Value) {
    return std::to_string(Value);
}

// The labels every sample of a controller starts with.
std::string ControllerLabels(const TMetricsData& d) {
    std::string out = "port=\"" + EscapeLabelValue(Utf8LabelText(d.Port)) + '"';
    if (d.Addr) out += ",addr=\"" + std::to_string(*d.Addr) + '"';
    return out;
}

// The file: the line's samples from Line (port label only), the controllers' samples from
// each of Controllers (with their addr label when they have one). Each family once.
std::string Format(const TMetricsData& Line, std::span<const TMetricsData> Controllers,
                   const aircon::TStrayCounts* Strays) {
    std::string out;
    out.reserve(16384 * Controllers.size());
    const std::string port = "port=\"" + EscapeLabelValue(Utf8LabelText(Line.Port)) + '"';
    std::vector<std::string> labels;
    for (const auto& d : Controllers)
        labels.push_back(ControllerLabels(d));
    // Every controller in turn: F(its data, its labels).
    auto each = [&](auto&& F) {
        for (std::size_t i = 0; i < Controllers.size(); ++i)
            F(Controllers[i], labels[i]);
    };

    {
        TFamily up(out, "aircon_up", "gauge",
                   "Whether the controller answers: 1 while replies with return code 0 come, 0 "
                   "once a whole poll cycle (0x42, 0x43, 0x44) went without one (no reply, or "
                   "only refusals) or the port is closed.");
        each([&](const TMetricsData& d, const std::string& l) {
            up.Sample(l, {}, d.Up ? "1" : "0");
        });
    }
    TFamily(out, "aircon_port_open", "gauge", "Whether the serial port is open.")
        .Sample(port, {}, Line.PortOpen ? "1" : "0");
    TFamily(out, "aircon_reconnects_total", "counter",
            "Openings of the serial port after it had been lost.")
        .Sample(port, {}, Count(Line.Reconnects));
    {
        TFamily f(out, "aircon_commands_total", "counter",
                  "Command frames written to the controller.");
        each([&](const TMetricsData& d, const std::string& l) {
            f.Sample(l, {}, Count(d.Commands));
        });
    }
    {
        TFamily f(out, "aircon_replies_total", "counter",
                  "Reply frames that passed the frame check.");
        each([&](const TMetricsData& d, const std::string& l) {
            f.Sample(l, {}, Count(d.Replies));
        });
    }
    {
        TFamily f(out, "aircon_replies_missing_total", "counter",
                  "Commands that had no frame at all within the reply time-out.");
        each([&](const TMetricsData& d, const std::string& l) {
            f.Sample(l, {}, Count(d.RepliesMissing));
        });
    }
    TFamily(out, "aircon_error_frames_total", "counter",
            "Received frames that failed the frame check (length, LCHKSUM, CHKSUM).")
        .Sample(port, {}, Count(Line.ErrorFrames));
    {
        TFamily f(out, "aircon_rtn_errors_total", "counter",
                  "Replies with a return code other than 0.");
        each([&](const TMetricsData& d, const std::string& l) {
            f.Sample(l, {}, Count(d.RtnErrors));
        });
    }
    {
        TFamily f(out, "aircon_rtn_replies_total", "counter",
                  "Replies with a return code other than 0, by that code (rtn, decimal).");
        each([&](const TMetricsData& d, const std::string& l) {
            for (const auto& [rtn, count] : d.RtnCounts)
                f.Sample(l, {{"rtn", std::to_string(rtn)}}, Count(count));
        });
    }
    if (Strays) {
        TFamily f(out, "aircon_stray_replies_total", "counter",
                  "Replies on a line of several controllers booked to none (reason: late, "
                  "other_address when another polled controller's address came than asked, "
                  "not_polled).");
        f.Sample(port, {{"reason", StrayKindName(aircon::TStrayKind::Late)}}, Count(Strays->Late));
        f.Sample(port, {{"reason", StrayKindName(aircon::TStrayKind::OtherAddress)}},
                 Count(Strays->OtherAddress));
        f.Sample(port, {{"reason", StrayKindName(aircon::TStrayKind::NotPolled)}},
                 Count(Strays->NotPolled));
    }
    {
        TFamily f(out, "aircon_last_reply_timestamp_seconds", "gauge",
                  "When the last reply with return code 0 came, in seconds since the epoch.");
        each([&](const TMetricsData& d, const std::string& l) {
            if (d.LastReply) f.Sample(l, {}, Seconds(*d.LastReply));
        });
    }

    TFamily analog(out, "aircon_analog", "gauge",
                   "Analog readings of reply 0x42, as the controller sends them.");
    each([&](const TMetricsData& d, const std::string& l) {
        for (const auto& a : d.Analog) {
            if (!a) continue;
            const std::string unit = UnitLabel(a->Unit);
            for (std::size_t i = 0; i < a->Count && i < AnalogFieldCount; ++i) {
                if (!a->Values[i]) continue;
                analog.Sample(l, {{"unit", unit}, {"name", AnalogFields[i].Key}},
                              Number(*a->Values[i]));
            }
        }
    });
    TFamily switches(out, "aircon_switch", "gauge",
                     "Switch states of reply 0x43: the state code (power: 0 on, other codes off).");
    each([&](const TMetricsData& d, const std::string& l) {
        for (const auto& s : d.Switches) {
            if (!s) continue;
            const std::string unit = UnitLabel(s->Unit);
            if (s->Power)
                switches.Sample(l, {{"unit", unit}, {"name", SwitchPowerField.Key}},
                                Number(*s->Power));
            for (std::size_t i = 0; i < s->Count && i < SwitchItemCount; ++i) {
                if (!s->Items[i]) continue;
                switches.Sample(l, {{"unit", unit}, {"name", SwitchFields[i].Key}},
                                Number(*s->Items[i]));
            }
        }
    });
    TFamily alarms(out, "aircon_alarm", "gauge",
                   "Alarm states of reply 0x44: the alarm code (0 normal, 1 below the lower "
                   "limit, 2 above the upper limit, 240 fault).");
    each([&](const TMetricsData& d, const std::string& l) {
        for (const auto& a : d.Alarms) {
            if (!a) continue;
            const std::string unit = UnitLabel(a->Unit);
            for (std::size_t i = 0; i < a->Count && i < AlarmFieldCount; ++i) {
                if (!a->Codes[i]) continue;
                alarms.Sample(l, {{"unit", unit}, {"name", AlarmFields[i].Key}},
                              Number(*a->Codes[i]));
            }
        }
    });
    {
        TFamily params(out, "aircon_parameter", "gauge", "User parameters of reply 0x47.");
        each([&](const TMetricsData& d, const std::string& l) {
            if (!d.Params) return;
            const auto& p = *d.Params;
            for (std::size_t i = 0; i < ParamReadingCount; ++i) {
                if (!p.Readings[i]) continue;
                params.Sample(l, {{"name", ParamFields[i].Key}}, Number(*p.Readings[i]));
            }
            for (std::size_t i = 0; i < p.ItemCount && i < ParamItemCount; ++i)
                params.Sample(l, {{"name", ParamFields[ParamReadingCount + i].Key}},
                              Number(p.Items[i]));
        });
        TFamily drift(out, "aircon_parameter_drift", "gauge",
                      "1 where a user parameter differs from the reference parameter set "
                      "(--params-reference), 0 where the controller holds it; only the "
                      "parameters the reference holds.");
        each([&](const TMetricsData& d, const std::string& l) {
            if (!d.Params || !d.Reference) return;
            const TParamComparison c = CompareParamSet(*d.Reference, *d.Params, {});
            for (const TParamCompareRow& r : c.Rows)
                if (r.InFile) drift.Sample(l, {{"name", r.Key}}, r.Differs ? "1" : "0");
        });
        TFamily readAt(out, "aircon_parameters_read_timestamp_seconds", "gauge",
                       "When the user parameters (reply 0x47) were last read, in seconds since "
                       "the epoch.");
        each([&](const TMetricsData& d, const std::string& l) {
            if (d.Params && d.ParamsReadAt) readAt.Sample(l, {}, Seconds(*d.ParamsReadAt));
        });
    }
    {
        TFamily info(out, "aircon_info", "gauge",
                     "Identity of the controller (replies 0x4F, 0x50, 0x51); always 1.");
        each([&](const TMetricsData& d, const std::string& l) {
            if (!d.Version && !d.Address && !d.Vendor) return;
            const std::string version = d.Version ? ProtocolVersionText(d.Version->Ver) : "";
            const std::string address = d.Address ? std::to_string(d.Address->Addr) : "";
            std::array<std::string, 3> texts;
            if (d.Vendor) {
                for (std::size_t i = 0; i < texts.size(); ++i)
                    if (d.Vendor->Fields[i])
                        texts[i] = EscapeLabelValue(ControllerLabelText(*d.Vendor->Fields[i]));
            }
            info.Sample(l,
                        {{"version", version},
                         {"address", address},
                         {"name", texts[0]},
                         {"vendor", texts[2]},
                         {"software", texts[1]}},
                        "1");
        });
        TFamily readAt(out, "aircon_info_read_timestamp_seconds", "gauge",
                       "When the identity (replies 0x4F, 0x50, 0x51) was last read, in seconds "
                       "since the epoch.");
        each([&](const TMetricsData& d, const std::string& l) {
            if ((d.Version || d.Address || d.Vendor) && d.InfoReadAt)
                readAt.Sample(l, {}, Seconds(*d.InfoReadAt));
        });
    }
    return out;
}

}  // namespace

std::string FormatMetrics(const TMetricsData& Data) {
    return Format(Data, std::span<const TMetricsData>(&Data, 1), nullptr);
}

std::string FormatFleetMetrics(const TMetricsData& Line, std::span<const TMetricsData> Controllers,
                               const aircon::TStrayCounts& Strays) {
    return Format(Line, Controllers, &Strays);
}

}  // namespace airconpoll
