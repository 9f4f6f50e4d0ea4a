#include "TrafficDetail.h"

#include <variant>

#include "Frame.h"
#include "HexText.h"
#include "Model.h"
#include "TextConv.h"

namespace aircon {

namespace {

using util::Hex;

std::string Code(std::uint8_t Value) {
    return "代码 0x" + Hex(Value, 2);
}

// Latin-1 text of the controller in quotes, so that padding shows; control bytes as
// escapes.
std::string QuotedLatin1(const std::string& Bytes) {
    std::string out = "\"";
    for (char ch : Bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) {
            out += "\\x" + Hex(c, 2);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else {
            util::AppendLatin1(out, c);
        }
    }
    out += '"';
    return out;
}

class TLines {
  public:
    void Add(std::string_view Name, std::string Value, TDetailMark Mark = TDetailMark::Plain) {
        FLines.push_back({std::string(Name), std::move(Value), Mark});
    }
    std::vector<TDetailLine> Take() { return std::move(FLines); }

  private:
    std::vector<TDetailLine> FLines;
};

void Unit(TLines& L, int Unit, std::uint8_t DataFlag) {
    L.Add("空调", "空调" + std::to_string(Unit + 1));
    L.Add("DATAFLAG", Hex(DataFlag, 2));
}

void Fields(TLines& L, const TAnalogValues& V) {
    Unit(L, V.Unit, V.DataFlag);
    for (std::size_t i = 0; i < V.Count; ++i) {
        if (i == AnalogFixedCount)
            L.Add(AnalogCountField.Caption, std::to_string(V.UserDefinedCount));
        L.Add(AnalogFields[i].Caption, ReadingText(V.Values[i]));
    }
    if (V.Count <= AnalogFixedCount)
        L.Add(AnalogCountField.Caption, std::to_string(V.UserDefinedCount));
}

void Fields(TLines& L, const TSwitchStates& S) {
    Unit(L, S.Unit, S.DataFlag);
    L.Add(SwitchPowerField.Caption, std::string(UnitPowerWord(S.Power)));
    L.Add(SwitchCountField.Caption, std::to_string(S.UserDefinedCount));
    for (std::size_t i = 0; i < S.Count; ++i) {
        std::string word(SwitchItemWord(i, S.Items[i]));
        if (word.empty()) word = Code(*S.Items[i]);
        L.Add(SwitchFields[i].Caption, std::move(word));
    }
}

void Fields(TLines& L, const TAlarmStates& A) {
    Unit(L, A.Unit, A.DataFlag);
    for (std::size_t i = 0; i < A.Count; ++i) {
        if (i == AlarmFixedCount)
            L.Add(AlarmCountField.Caption, std::to_string(A.UserDefinedCount));
        std::string text(AlarmText(A.Codes[i]));
        if (text.empty()) text = Code(*A.Codes[i]);
        // Anything but normal or not detected is an alarm worth seeing.
        const bool alarm = A.Codes[i] && *A.Codes[i] != 0;
        L.Add(AlarmFields[i].Caption, std::move(text),
              alarm ? TDetailMark::Warning : TDetailMark::Plain);
    }
    if (A.Count <= AlarmFixedCount)
        L.Add(AlarmCountField.Caption, std::to_string(A.UserDefinedCount));
}

void Fields(TLines& L, const TUserParams& P) {
    for (std::size_t i = 0; i < ParamReadingCount; ++i)
        L.Add(ParamFields[i].Caption, ReadingText(P.Readings[i]));
    L.Add(ParamCountField.Caption, std::to_string(P.UserDefinedCount));
    for (std::size_t i = 0; i < P.ItemCount; ++i) {
        std::string text = ParamItemText(i, P.Items[i]);
        if (text.empty()) text = std::to_string(P.Items[i]);
        L.Add(ParamFields[ParamReadingCount + i].Caption, std::move(text));
    }
}

void Fields(TLines& L, const TProtocolVersion& V) {
    L.Add("协议版本号", ProtocolVersionText(V.Ver));
}

void Fields(TLines& L, const TDeviceAddress& A) {
    L.Add("设备地址", std::to_string(A.Addr));
}

void Fields(TLines& L, const TVendorInfo& V) {
    for (std::size_t i = 0; i < V.Fields.size(); ++i)
        L.Add(VendorFields[i].Caption, V.Fields[i] ? QuotedLatin1(*V.Fields[i]) : "(未收到)");
}

void FrameFields(TLines& L, const TTrafficRow& Row) {
    const TFrameAnatomy a = DissectFrame(Row.Frame);
    const bool sent = Row.Kind == TRowKind::Sent;
    const std::string shortText = "(帧太短)";
    auto byte = [&](const std::optional<std::uint8_t>& B, std::string Extra = {}) {
        if (!B) return shortText;
        return Extra.empty() ? Hex(*B, 2) : Hex(*B, 2) + " " + Extra;
    };

    L.Add("SOI", Row.Frame.empty() ? shortText : EscapedText(std::span(Row.Frame).first(1)));
    L.Add("VER", byte(a.Ver));
    L.Add("ADR", byte(a.Addr, a.Addr ? "(地址 " + std::to_string(*a.Addr) + ")" : ""));
    L.Add("CID1", byte(a.CID1, a.CID1 ? TDH::CID1ToString(*a.CID1) : ""));
    if (sent) {
        L.Add("CID2", byte(a.Cid2OrRtn, a.Cid2OrRtn ? CommandName(*a.Cid2OrRtn) : ""));
    } else {
        L.Add("RTN", byte(a.Cid2OrRtn, a.Cid2OrRtn ? TDH::RtnToString(*a.Cid2OrRtn) : ""),
              a.Cid2OrRtn && *a.Cid2OrRtn != 0 ? TDetailMark::Bad : TDetailMark::Plain);
    }
    if (a.Length) {
        L.Add("LENGTH", Hex(*a.Length, 4));
        const std::uint16_t lenid = *a.LenId;
        std::string text = Hex(lenid, 3) + " = " + std::to_string(lenid) + " 个INFO字符";
        TDetailMark mark = TDetailMark::Plain;
        if (Row.Frame.size() >= 18 && !a.InfoLengthMatches) {
            text += ", 实际 " + std::to_string(Row.Frame.size() - 18) + " 个";
            mark = TDetailMark::Warning;
        }
        L.Add("LENID", std::move(text), mark);
        if (*a.LChkSum == *a.LChkSumExpected)
            L.Add("LCHKSUM", Hex(*a.LChkSum, 1) + " 正确", TDetailMark::Good);
        else
            L.Add("LCHKSUM", Hex(*a.LChkSum, 1) + " 错误, 应为 " + Hex(*a.LChkSumExpected, 1),
                  TDetailMark::Bad);
    } else {
        L.Add("LENGTH", shortText);
    }
    if (a.ChkSum) {
        L.Add("INFO", a.Info.empty()
                          ? "无 (0 字节)"
                          : SpacedHex(a.Info) + " (" + std::to_string(a.Info.size()) + " 字节)");
        if (*a.ChkSum == *a.ChkSumExpected)
            L.Add("CHKSUM", Hex(*a.ChkSum, 4) + " 正确", TDetailMark::Good);
        else
            L.Add("CHKSUM", Hex(*a.ChkSum, 4) + " 错误, 应为 " + Hex(*a.ChkSumExpected, 4),
                  TDetailMark::Bad);
    } else {
        L.Add("INFO", shortText);
        L.Add("CHKSUM", shortText);
    }
    L.Add("EOI", Row.Frame.empty() ? shortText : EscapedText(std::span(Row.Frame).last(1)));
}

void ReplyFields(TLines& L, const TTrafficRow& Row) {
    if (Row.Check != TFrameCheck::Ok) return;
    const std::string command = CommandText(Row.Cid2);
    if (Row.Rtn != 0) {
        L.Add("应答数据", "RTN 非0, 不解码 (命令 " + command + ")", TDetailMark::Heading);
        return;
    }
    if (!Row.HasDecoder) {
        L.Add("应答数据", command + " 的应答不带数据解码", TDetailMark::Heading);
        return;
    }
    const auto parsed = ParseFrame(Row.Frame);
    std::optional<TReplyData> data;
    if (parsed) {
        const TDH_Header header{parsed->Header.Ver, parsed->Header.Addr, parsed->Header.CID1,
                                Row.Cid2};
        data = DecodeReply(Row.Cid2, header, parsed->Info);
    }
    if (!data) {
        L.Add("应答数据", command + " 无法解码 (INFO 长度或空调号不对)", TDetailMark::Bad);
        return;
    }
    L.Add("应答数据", command, TDetailMark::Heading);
    std::visit([&](const auto& d) { Fields(L, d); }, *data);
}

}  // namespace

std::vector<TDetailLine> DescribeRow(const TTrafficRow& Row) {
    TLines L;
    L.Add("时间", LocalTimeText(Row.At.Wall));
    switch (Row.Kind) {
        case TRowKind::Sent: {
            L.Add("发送", CommandText(Row.Cid2), TDetailMark::Heading);
            L.Add("长度",
                  std::to_string(Row.Frame.size()) + " 字符, 写入 " + std::to_string(Row.Count) +
                      " 字节",
                  Row.Class == TRowClass::WriteFailed ? TDetailMark::Bad : TDetailMark::Plain);
            FrameFields(L, Row);
            break;
        }
        case TRowKind::Received: {
            if (Row.Check == TFrameCheck::Ok)
                L.Add("接收", "校验通过", TDetailMark::Heading);
            else
                L.Add("接收", "错误帧: " + std::string(FrameCheckText(Row.Check)),
                      TDetailMark::Bad);
            L.Add("长度", std::to_string(Row.Frame.size()) + " 字符");
            if (Row.ResponseTime) L.Add("响应时间", ResponseText(Row) + " (从命令写完到收到此帧)");
            if (Row.Late) L.Add("迟到", "是, 该命令已报无应答", TDetailMark::Warning);
            L.Add("作为应答", CommandText(Row.Cid2) + " (最近发送的命令)");
            FrameFields(L, Row);
            ReplyFields(L, Row);
            break;
        }
        case TRowKind::Missing: {
            L.Add("无应答", CommandText(Row.Cid2), TDetailMark::Bad);
            L.Add("应答超时", std::to_string(Row.Timeout.count()) + " ms");
            const auto waited =
                std::chrono::duration_cast<Millis>(Row.At.Time - Row.SentAt).count();
            L.Add("说明", "命令写完后 " + std::to_string(waited) + " ms 内未收到任何帧");
            break;
        }
        case TRowKind::Noise:
            L.Add("噪声", std::to_string(Row.Count) + " 字节", TDetailMark::Heading);
            L.Add("说明", "不属于任何帧的字节: \"~\" 之前、回车之后, 或超出接收缓冲区的部分");
            if (!Row.Frame.empty()) {
                L.Add("十六进制", SpacedHex(Row.Frame));
                L.Add("文本", EscapedText(Row.Frame));
            }
            break;
        case TRowKind::LinkOpened:
            L.Add("链路", "打开", TDetailMark::Heading);
            L.Add("串口", Row.Port);
            break;
        case TRowKind::LinkClosed:
            L.Add("链路", "关闭", TDetailMark::Heading);
            L.Add("原因", std::string(CloseReasonText(Row.Closed)),
                  Row.Closed == TCloseReason::Requested ? TDetailMark::Plain : TDetailMark::Bad);
            if (!Row.Port.empty()) L.Add("串口报告", Row.Port);
            break;
    }
    return L.Take();
}

}  // namespace aircon
