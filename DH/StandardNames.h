// The standard names of the split air conditioner's channels (device type CID1 0x60), in
// channel order: the names TDH::GetStand*String gives, and the captions the core's field
// tables take for these channels.
#pragma once

#include <string_view>

namespace dhnames {

inline constexpr std::string_view Analog[] = {"主机工作线/相电压AB/A",
                                              "主机工作线/相电压BC/B",
                                              "主机工作线/相电压CA/C",
                                              "主机工作电流A相",
                                              "主机工作电流B相",
                                              "主机工作电流C相",
                                              "送风温度",
                                              "回风温度",
                                              "送风湿度",
                                              "回风湿度",
                                              "压缩机吸气压力",
                                              "压缩机排气压力"};
inline constexpr std::string_view Switch[] = {"空调状态"};
inline constexpr std::string_view Alarm[] = {"主机工作线/相电压AB/A",
                                             "主机工作线/相电压BC/B",
                                             "主机工作线/相电压CA/C",
                                             "主机工作电流A相",
                                             "主机工作电流B相",
                                             "主机工作电流C相",
                                             "回风温度",
                                             "回风湿度",
                                             "过滤器",
                                             "压缩机",
                                             "风机"};
inline constexpr std::string_view Param[] = {"空调开机温度", "空调关机温度", "回风温度上限",
                                             "回风温度下限", "回风湿度上限", "回风湿度下限",
                                             "温度设定值"};

}  // namespace dhnames
