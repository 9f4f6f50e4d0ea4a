#include "OpenFailureText.h"

#include <cstring>
#include <string>

namespace {

QString Q(const std::string& S) {
    return QString::fromStdString(S);
}

QString PermissionText(const QString& Port, const TDeviceAccess& Device,
                       const TUserIdentity& User) {
    const QString UserName = User.Name.empty() ? QString::number(User.Uid) : Q(User.Name);
    QString DevicePath = Device.Node.empty() ? Q(Device.Path) : Q(Device.Node);
    if (DevicePath.isEmpty()) DevicePath = Port;
    QString Text =
        QStringLiteral("打开串口失败：当前用户 %1 无权使用串口设备 %2。").arg(UserName, DevicePath);
    if (!Device.Exists) return Text + QStringLiteral("\n\n请让管理员给当前用户该设备的读写权限。");
    const QString Group = Q(Device.Group);
    if (Device.GroupMayUse && !Device.InGroupNow && Device.InGroupListed) {
        // Added to the group, but this login session started before that.
        return Text + QStringLiteral(
                          "\n\n该设备只允许 %1 组的成员读写。您的帐户已加入 %1 组，"
                          "但要在重新登录后才生效：请注销并重新登录（或重启电脑），"
                          "然后再打开串口。")
                          .arg(Group);
    }
    if (Device.GroupMayUse && !Device.InGroupNow) {
        return Text + QStringLiteral(
                          "\n\n该设备只允许 %1 组的成员读写。请把当前用户加入 %1 组"
                          "（需要管理员权限）：\n    sudo usermod -aG %1 %2\n"
                          "然后注销并重新登录（或重启电脑），再打开串口。")
                          .arg(Group, UserName);
    }
    return Text + QStringLiteral(
                      "\n\n该设备（属主 %1，%2 组，权限 %3）不允许当前用户读写。"
                      "请让管理员调整该设备的权限。")
                      .arg(Q(Device.Owner), Group, Q(ModeText(Device.Mode)));
}

}  // namespace

QString OpenFailureText(const QString& Port, int Error, const TDeviceAccess& Device,
                        const TUserIdentity& User) {
    switch (ClassifyOpenFailure(Error)) {
        case TOpenFailure::InUse:
            return QStringLiteral("打开串口失败，串口已被其它应用程序打开。");
        case TOpenFailure::NoPermission:
            return PermissionText(Port, Device, User);
        case TOpenFailure::Gone:
            return QStringLiteral(
                       "打开串口失败：串口 %1 不存在，设备可能已被拔出。"
                       "请插好串口线或USB转串口适配器，再从列表中重新选择串口。")
                .arg(Port);
        case TOpenFailure::NotSerial:
            return QStringLiteral("打开串口失败：%1 不是串口设备。").arg(Port);
        case TOpenFailure::Other:
            break;
    }
    return QStringLiteral("打开串口失败：%1（系统错误 %2：%3）。")
        .arg(Port)
        .arg(Error)
        .arg(QString::fromLocal8Bit(std::strerror(Error)));
}

QString OpenFailureText(const QString& Port, int Error) {
    const TUserIdentity User = CurrentUser();
    const TDeviceAccess Device = ClassifyOpenFailure(Error) == TOpenFailure::NoPermission
                                     ? InspectPortDevice(Port.toStdString(), User)
                                     : TDeviceAccess{};
    return OpenFailureText(Port, Error, Device, User);
}
