#include "ui/ProfilePreview.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>

#include "control/ProgramFile.h"

TProfilePreview::TProfilePreview(QWidget* parent) : QWidget(parent)
{
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::white);
    setPalette(p);
    SetProgram({});
}

void TProfilePreview::SetProgram(const ProgramTexts& texts)
{
    m_texts = texts;
    try {
        m_valid = CheckProgramTable(texts);
    } catch (const std::exception&) {
        m_valid = false;  // the preview never reports; the write button does
    }
    m_caption = m_valid ? QStringLiteral("Длительность: %1").arg(DurationText(ProgramDurationMinutes(texts)))
                        : QStringLiteral("Профиль: программа не заполнена");
    setToolTip(m_caption);
    update();
}

void TProfilePreview::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QColor(120, 120, 120));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    QFont font = painter.font();
    font.setPixelSize(11);
    painter.setFont(font);
    const int captionWidth = 150;
    painter.setPen(Qt::black);
    painter.drawText(QRect(width() - captionWidth, 2, captionWidth - 4, height() - 4),
                     Qt::AlignVCenter | Qt::AlignRight | Qt::TextWordWrap, m_caption);
    if (!m_valid)
        return;
    const QVector<ProfilePoint> points = ProgramProfile(m_texts);
    if (points.isEmpty())
        return;
    const QRectF area(4, 4, width() - captionWidth - 12, height() - 8);
    const double total = std::max(1, points.back().minute);
    int tMin = points.front().temperature, tMax = tMin;
    for (const ProfilePoint& p : points) {
        tMin = std::min(tMin, p.temperature);
        tMax = std::max(tMax, p.temperature);
    }
    if (tMax == tMin)
        ++tMax;
    auto x = [&](int minute) { return area.left() + area.width() * minute / total; };
    auto yTemp = [&](int t) { return area.bottom() - area.height() * (t - tMin) / (tMax - tMin); };
    auto yHum = [&](int h) { return area.bottom() - area.height() * h / 100.0; };
    QPainterPath temp, hum;
    temp.moveTo(x(0), yTemp(points.front().temperature));
    hum.moveTo(x(0), yHum(points.front().humidity));
    for (const ProfilePoint& p : points) {
        temp.lineTo(x(p.minute), yTemp(p.temperature));
        hum.lineTo(x(p.minute), yHum(p.humidity));
    }
    painter.setPen(QPen(QColor(0, 128, 0), 1.4, Qt::DashLine));
    painter.drawPath(hum);
    painter.setPen(QPen(QColor(220, 0, 0), 1.6));
    painter.drawPath(temp);
}
