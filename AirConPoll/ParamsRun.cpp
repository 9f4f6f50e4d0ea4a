#include "ParamsRun.h"

#include <cstdio>

#include "DH.h"
#include "JobSession.h"
#include "LocalTime.h"
#include "Session.h"
#include "TextFile.h"

namespace airconpoll {

using namespace aircon;

namespace {

std::string Hex(std::uint8_t Code) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", Code);
    return buf;
}

std::string Who(const TParamCompareRow& Row) {
    return std::string(Row.Key) + " (" + std::string(Row.Caption) + ", " + Hex(Row.Code) + ")";
}

std::string OutcomeText(const TParamResult& r) {
    switch (r.Outcome) {
        case TParamOutcome::Verified:
            return "written and verified";
        case TParamOutcome::Different:
            return "accepted, but read back as " +
                   (r.ReadBack ? ParamWordText(r.Write.Code, *r.ReadBack) : std::string("nothing"));
        case TParamOutcome::NotReadBack:
            return "accepted, but the read-back got no reply: not verified";
        case TParamOutcome::Refused:
            return "refused by the controller: RTN " + std::to_string(r.Rtn) + " " +
                   TDH::RtnToString(r.Rtn);
        case TParamOutcome::NoReply:
            return "no reply";
        case TParamOutcome::Waiting:
        case TParamOutcome::Sent:
        case TParamOutcome::Accepted:
            break;
    }
    return "not concluded";
}

std::string ErrorsText(const std::string& Path, const std::vector<TParamSetError>& Errors) {
    std::string out;
    for (const TParamSetError& e : Errors)
        out += (out.empty() ? "" : "\n") + Path + ": " + e.Text();
    return out;
}

}  // namespace

std::string DifferenceLine(const TParamCompareRow& Row) {
    return Who(Row) + ": file " + Row.FileText + ", controller " + Row.ControllerText;
}

std::string OutcomeLine(const TParamCompareRow& Row, const TParamResult& Result) {
    return Who(Row) + ": " + Row.ControllerText + " -> " + Row.FileText + ": " +
           OutcomeText(Result);
}

std::optional<TParamSet> LoadReference(const std::string& Path, std::string& Error) {
    TParamSetParse parsed = ReadParamSetFile(Path);
    if (!parsed.Set) Error = ErrorsText(Path, parsed.Errors);
    return std::move(parsed.Set);
}

int RunParams(const TPollOptions& o, TEventLoop& Loop, std::ostream& Out, std::ostream& Err) {
    auto log = [&](const std::string& Line) { Err << "AirConPoll: " << Line << std::endl; };
    const std::string& file = !o.ParamsSave.empty()    ? o.ParamsSave
                              : !o.ParamsCheck.empty() ? o.ParamsCheck
                                                       : o.ParamsApply;
    // The file first: a mistake in it costs no time on the line.
    std::optional<TParamSet> wanted;
    if (o.ParamsSave.empty()) {
        std::string error;
        wanted = LoadReference(file, error);
        if (!wanted) {
            log(error);
            log("nothing is compared or written");
            return ParamsBadFile;
        }
    }

    TJobSession job(o, Loop);
    if (std::string why; !job.Open(why)) {
        log(why);
        return ParamsFailed;
    }
    TSession& session = job.Session();
    TMonitor& monitor = session.Monitor();
    auto runUntil = [&](auto Done) {
        while (!Done() && !Loop.StopRequested())
            Loop.RunOnce();
        return Done();
    };

    TParamSetReader reader(monitor);
    reader.Start();
    if (!runUntil([&] { return reader.Done(); })) {
        log("stopped before the parameters were read");
        return ParamsFailed;
    }
    if (!reader.Params()) {
        log("address " + std::to_string(o.Addr) + " on " + o.Port + ": " + reader.FailureEn() +
            job.FailureSuffix());
        return ParamsFailed;
    }
    const TParamSetIdentity& identity = reader.Identity();

    if (!o.ParamsSave.empty()) {
        const TParamSet set =
            ParamSetOf(*reader.Params(), identity, util::LocalTimeText(Loop.Clock().WallNow()));
        if (const std::string error = WriteFileAtomically(file, FormatParamSet(set));
            !error.empty()) {
            log(error);
            return ParamsBadFile;
        }
        log("saved " + std::to_string(set.Count()) + " parameters of address " +
            std::to_string(o.Addr) + " to " + file);
        return ParamsEqual;
    }

    const TParamComparison c = CompareParamSet(*wanted, *reader.Params(), identity);
    for (const TIdentityMismatch& m : c.Mismatches)
        log("warning: " + file + " was saved from another controller: " + std::string(m.Key) +
            " \"" + m.File + "\" in the file, \"" + m.Controller + "\" in the controller");
    if (c.Partial())
        log(file + " holds " + std::to_string(c.InFile) +
            " of the 16 parameters: only those are compared" +
            (o.ParamsApply.empty() ? "" : " and written"));

    if (!o.ParamsCheck.empty()) {
        for (const TParamCompareRow& r : c.Rows)
            if (r.Differs) Out << DifferenceLine(r) << '\n';
        Out.flush();
        log(c.Differing == 0
                ? "the controller holds the " + std::to_string(c.InFile) + " parameters of " + file
                : std::to_string(c.Differing) + " of " + std::to_string(c.InFile) +
                      " parameters differ from " + file);
        return c.Differing == 0 ? ParamsEqual : ParamsDifferent;
    }

    // --params-apply
    const std::vector<TParamWrite> writes = c.Writes();
    if (writes.empty()) {
        log("nothing to write: the controller holds the " + std::to_string(c.InFile) +
            " parameters of " + file);
        return ParamsEqual;
    }
    log("writing " + std::to_string(writes.size()) + " parameters to address " +
        std::to_string(o.Addr));
    TParamSetWriter writer(monitor, writes);
    writer.Start();
    if (!runUntil([&] { return writer.Done(); })) log("stopped before every write was concluded");
    std::size_t next = 0;
    for (const TParamCompareRow& r : c.Rows) {
        if (!r.Differs || next >= writer.Job().Results().size()) continue;
        Out << OutcomeLine(r, writer.Job().Results()[next++]) << '\n';
    }
    Out.flush();
    const std::size_t verified = writer.Verified();
    log(std::to_string(verified) + " of " + std::to_string(writes.size()) +
        " parameters written and verified");
    session.Close();
    if (!writer.Done()) return ParamsFailed;
    return verified == writes.size() ? ParamsEqual : ParamsDifferent;
}

}  // namespace airconpoll
