#include "RecordingWords.h"

#include <algorithm>
#include <cerrno>
#include <string>

using aircon::TRecordingProblem;

namespace {

QString PathText(const std::filesystem::path& P) {
    return QString::fromStdString(P.string());
}

}  // namespace

QString FileSystemReasonText(std::error_code Error) {
    switch (Error.value()) {
        case ENOSPC:
            return "磁盘已满";
#ifdef EDQUOT
        case EDQUOT:
            return "超出磁盘配额";
#endif
        case EFBIG:
            return "文件超出系统允许的大小";
        case EACCES:
        case EPERM:
            return "没有写入权限";
        case EROFS:
            return "只读文件系统";
        case ENOTDIR:
            return "路径中有一段不是文件夹";
        case ENOENT:
            return "路径不存在";
        case EIO:
            return "输入/输出错误";
        default:
            return QString::fromStdString(Error.message());
    }
}

QString RecordingSizeText(std::uint64_t Bytes) {
    constexpr std::uint64_t KB = 1024, MB = 1024 * 1024;
    if (Bytes >= MB) return QString("%1 MB").arg((Bytes + MB / 2) / MB);
    return QString("%1 KB").arg(std::max<std::uint64_t>(1, (Bytes + KB / 2) / KB));
}

QString RecordingProblemText(const aircon::TRecordingEvent& E) {
    const QString file = PathText(E.File);
    switch (E.Problem) {
        case TRecordingProblem::None:
            break;
        case TRecordingProblem::FolderNotMade:
            return "无法建立记录文件夹“" + PathText(E.Folder) + "”：" +
                   FileSystemReasonText(E.Error) + "。本次不记录，监控照常进行。";
        case TRecordingProblem::FileNotMade:
            return "无法建立记录文件“" + file + "”：" + FileSystemReasonText(E.Error) +
                   "。本次不记录，监控照常进行。";
        case TRecordingProblem::WriteFailed:
            return "记录文件“" + file + "”写入失败：" + FileSystemReasonText(E.Error) +
                   "。记录已停止，监控照常进行。";
        case TRecordingProblem::SizeLimitReached:
            return "记录文件“" + file + "”已达到记录的大小上限 " + RecordingSizeText(E.Limit) +
                   "。记录已停止，监控照常进行。";
        case TRecordingProblem::SizeLimitZero:
            return "记录文件夹的大小上限为 0，会删除全部旧记录，不予采用；按默认的 " +
                   RecordingSizeText(E.Limit) + " 处理。";
        case TRecordingProblem::SizeLimitTooLarge:
            return "记录文件夹的大小上限超出可用范围，按最大值 " + RecordingSizeText(E.Limit) +
                   " 处理。";
        case TRecordingProblem::WriterBehind:
            return "记录写入跟不上（磁盘过慢或无响应），部分数据未能记录；"
                   "记录文件中以“丢失行”标出。监控照常进行。";
    }
    return {};
}

QString UnwrittenRowsText(std::uint64_t Rows) {
    return QString("记录：磁盘无响应，程序结束时有 %1 行未写入记录文件。").arg(Rows);
}
