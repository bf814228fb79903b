// The overview attached to a recorder: the attached line's tiles under its
// caption, and a group of tiles for each other line of the recorder.
#include "ui/OverviewWindow.h"

#include <QDateTime>

#include <set>

#include "monitoring/LocaleText.h"

void TOverviewWindow::SetRecorderLines(const QString& attachedCaption,
                                       const QVector<QPair<QString, QString>>& otherLines)
{
    const bool attached = !attachedCaption.isEmpty();
    LabelLine->setText(attachedCaption);
    LabelLine->setVisible(attached);
    // The recorder writes every chamber's log: this window writes none beside it.
    if (attached) {
        for (auto it = m_tiles.cbegin(); it != m_tiles.cend(); ++it)
            if (it.value()->Log->isChecked()) {
                it.value()->Log->setChecked(false);
                SetChamberLog(it.key(), false, false);
            }
        CheckLogAll->setChecked(false);
    }
    CheckLogAll->setEnabled(!attached);
    // The recorder reads the chambers it found, with its own timeout.
    ButtonAdd->setEnabled(!attached);
    SpinTimeout->setEnabled(!attached);
    for (TChamberTile* tile : m_tiles)
        tile->Log->setEnabled(!attached);

    std::set<QString> wanted;
    for (const auto& [name, caption] : otherLines)
        wanted.insert(name);
    for (auto it = m_lineGroups.begin(); it != m_lineGroups.end();)
        if (!attached || !wanted.count(it->first)) {
            delete it->second.box;
            it = m_lineGroups.erase(it);
        } else {
            ++it;
        }
    if (!attached)
        return;
    for (const auto& [name, caption] : otherLines) {
        LineGroup& group = m_lineGroups[name];
        if (!group.box) {
            // Laid out as the window's own line: its caption over its tiles.
            group.box = new QWidget(m_tileArea);
            auto* layout = new QVBoxLayout(group.box);
            layout->setContentsMargins(0, 0, 0, 0);
            group.caption = new QLabel(group.box);
            group.caption->setFont(LabelLine->font());
            group.caption->setContentsMargins(LabelLine->contentsMargins());
            layout->addWidget(group.caption);
            group.grid = new QGridLayout;
            group.grid->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            layout->addLayout(group.grid);
            m_groupLayout->addWidget(group.box);
        }
        group.caption->setText(caption);
    }
}

QStringList TOverviewWindow::OtherLines() const
{
    QStringList lines;
    for (const auto& [name, group] : m_lineGroups)
        lines << name;
    return lines;
}

void TOverviewWindow::TakeLineRead(const QString& line, const OverviewRead& read)
{
    auto found = m_lineGroups.find(line);
    if (found == m_lineGroups.end() || read.address < 0 || read.address > kLastAddress)
        return;
    LineGroup& group = found->second;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (!group.chambers.contains(read.address)) {
        group.chambers.insert(read.address, NewWatchedChamber(read.address));
        auto* tile = new TChamberTile(read.address, group.box);
        tile->Log->hide();
        group.tiles.insert(read.address, tile);
        connect(tile, &TChamberTile::Clicked, this, [this, line](int address) { emit LineChamberClicked(line, address); });
        RelayoutLine(group.grid, group.tiles);
    }
    WatchedChamber& chamber = group.chambers[read.address];
    ApplyOverviewRead(chamber, read, now, DecimalSeparator());
    group.tiles.value(read.address)->Show(chamber, now);
}

void TOverviewWindow::TakeLineAlarms(const QString& line, const std::vector<ChamberAlarm>& alarms)
{
    auto found = m_lineGroups.find(line);
    if (found == m_lineGroups.end())
        return;
    LineGroup& group = found->second;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (auto it = group.chambers.begin(); it != group.chambers.end(); ++it) {
        // As the window's own tiles: red while an alarm is active or not yet acknowledged.
        it->outstandingAlarms = 0;
        it->alarmText.clear();
        for (const ChamberAlarm& c : alarms)
            if (c.chamberAddress == it.key() && (c.alarm.active || !c.alarm.acknowledged)) {
                ++it->outstandingAlarms;
                it->alarmText = QStringLiteral("Камера №%1: %2").arg(it.key()).arg(c.alarm.text);
            }
        group.tiles.value(it.key())->Show(*it, now);
    }
}

TChamberTile* TOverviewWindow::LineTile(const QString& line, int address) const
{
    const auto found = m_lineGroups.find(line);
    return found == m_lineGroups.end() ? nullptr : found->second.tiles.value(address, nullptr);
}

const WatchedChamber* TOverviewWindow::LineChamber(const QString& line, int address) const
{
    const auto found = m_lineGroups.find(line);
    if (found == m_lineGroups.end())
        return nullptr;
    const auto chamber = found->second.chambers.constFind(address);
    return chamber == found->second.chambers.cend() ? nullptr : &*chamber;
}

void TOverviewWindow::SetRecorderUnavailable(const QString& why)
{
    LabelMessage->setText(why);
    for (TChamberTile* tile : m_tiles)
        tile->SetUnavailable(why);
    for (auto& [line, group] : m_lineGroups)
        for (TChamberTile* tile : group.tiles)
            tile->SetUnavailable(why);
    RefreshAges();
}
