#include "monitoring/StatusFields.h"

#include <cstring>

namespace {
constexpr const char* kTemperaturesCaption = "Текущая температура/влажность, °C/%";
constexpr const char* kSetPointsCaption = "Заданная температура/влажность, °C/%";
}  // namespace

const std::array<StatusFieldInfo, kStatusFieldCount> kStatusFields{{
    {"current temperature", "Label5", "0", kTemperaturesCaption, &StatusView::label5, "Текущая температура, °C"},
    {"current humidity", "Label2", "0", kTemperaturesCaption, &StatusView::label2, "Текущая влажность, %"},
    {"set temperature", "Label18", "0", kSetPointsCaption, &StatusView::label18, "Заданная температура, °C"},
    {"set humidity", "Label4", "0", kSetPointsCaption, &StatusView::label4, "Заданная влажность, %"},
    {"time to reach the set point", "Label15", "00:00", "Время выхода на режим, чч:мм", &StatusView::label15, nullptr},
    {"stabilisation time", "Label11", "00:00", "Время стабилизации, чч:мм", &StatusView::label11, nullptr},
    {"set time to reach", "Label3", "00:00", "Уставка времени выхода на режим, чч:мм", &StatusView::label3, nullptr},
    {"set stabilisation time", "Label19", "00:00", "Уставка времени стабилизации, чч:мм", &StatusView::label19, nullptr},
    {"step (number of steps)", "Label13", "0(0)", "Текущий шаг(всего шагов)", &StatusView::label13, nullptr},
    {"program", "Label17", "0", "Текущая программа", &StatusView::label17, nullptr},
    {"cycle (number of cycles)", "Label20", "0(0)", "Текущий цикл(всего циклов)", &StatusView::label20, nullptr},
}};

const StatusFieldInfo* StatusFieldOfLabel(const char* label)
{
    for (const StatusFieldInfo& field : kStatusFields)
        if (std::strcmp(field.label, label) == 0)
            return &field;
    return nullptr;
}

StatusView IdleStatusView()
{
    StatusView view;
    for (const StatusFieldInfo& field : kStatusFields)
        view.*field.view = QString::fromUtf8(field.idleText);
    return view;
}
