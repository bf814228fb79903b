// The device scan: one bus address per tick of Timer5, answering addresses
// listed as chambers the operator can pick.
#include "link/PortUnit.h"
#include "monitoring/LineOwner.h"
#include "monitoring/Monitoring.h"
#include "monitoring/Presentation.h"
#include "ui/ErrorDisplay.h"
#include "ui/Typeface.h"
#include "ui/Unit3.h"
#include "ui/main.h"

namespace {

void ShowProgress(QLabel* label, const QString& text)
{
    label->setText(text);
    label->adjustSize();  // the label sizes itself to its text
}

}  // namespace

void TForm1::ShowScanState()
{
    // The button keeps reading "Пауза" after the last address; this says
    // that nothing is being searched any more.
    // Started again from there, the next tick goes back to address 0.
    const bool complete = ScanRunning == 1 && ScanAddress == kLastAddress + 1 && !Timer5->isActive();
    if (!LabelScanDone && !complete)
        return;
    if (!LabelScanDone) {
        // In the free band between the heading and the buttons.
        LabelScanDone = new QLabel(QStringLiteral("Поиск завершён"), Button4->parentWidget());
        LabelScanDone->setFont(Tnr(16, true));
        LabelScanDone->setStyleSheet(QStringLiteral("color: #006400;"));
        LabelScanDone->setGeometry(16, 154, 236, 24);
    }
    LabelScanDone->setVisible(complete);
}

bool TForm1::ProbeAddress(int address)
{
    if (address < 0) {
        ProgressBar1->setValue(0);
        ShowProgress(Label26, QStringLiteral("    "));
        return true;
    }
    const ProbeOutcome outcome = RunProbeExchange(address);
    // With the adapter gone the address was not asked: it is asked again
    // once the port is back.
    if (outcome == ProbeOutcome::PortLost)
        return false;
    if (outcome == ProbeOutcome::Found) {
        ListBox1->addItem(ChamberEntryText(address));
        emit ChamberFound(address);
    }
    ProgressBar1->setValue(ProgressForAddress(address));
    ShowProgress(Label26, ProgressText(address));
    return true;
}

void TForm1::Timer5Timer()
{
    if (ScanAddress > kLastAddress || ScanAddress < 0) {
        ScanAddress = 0;
        return;
    }
    // Off during the probe, so that no tick waits behind it; the restart
    // gives the next address a fresh interval.
    Timer5->stop();
    if (ProbeAddress(ScanAddress))
        ++ScanAddress;
    Timer5->start();
    if (ScanAddress == kLastAddress + 1)
        Timer5->stop();
    ShowScanState();
}

void TForm1::Button4Click()
{
    if (AttachedToRecorder()) {
        RecorderScan();
        return;
    }
    if (ScanRunning == 1) {
        Timer5->stop();
        // A completed scan is acknowledged: its list goes, so that the next
        // scan from address 0 cannot list a chamber twice.
        if (ScanAddress == kLastAddress + 1)
            ListBox1->clear();
        ScanRunning = 0;
        Button4->setText(QStringLiteral("Пуск"));
    } else {
        EnableTimer(Timer5);
        ScanRunning = 1;
        Button4->setText(QStringLiteral("Пауза"));
    }
    ShowScanState();
}

void TForm1::Button1Click()
{
    // The recorder's line is scanned by the recorder alone.
    if (AttachedToRecorder())
        return;
    ScanAddress = 0;
    ListBox1->clear();
    Timer5->stop();
    ProbeAddress(-1);
    ScanRunning = 0;
    Button4->setText(QStringLiteral("Пуск"));
    ShowScanState();
}

void TForm1::ListBox1Click()
{
    const int selected = SelectedEntryIndex(*ListBox1);
    if (selected >= 0) {
        Button2->setEnabled(true);
        Button6->setEnabled(true);
        // The control window's commands follow the pick at once, not at the
        // next poll, and its line says so.
        if (Form3)
            Form3->SetChamber(AddressFromEntry(ListBox1->item(selected)->text()));
    }
}

void TForm1::SelectChamber(int address)
{
    const QString text = ChamberEntryText(address);
    QList<QListWidgetItem*> found = ListBox1->findItems(text, Qt::MatchExactly);
    QListWidgetItem* item = found.isEmpty() ? nullptr : found.first();
    if (!item) {
        ListBox1->addItem(text);
        item = ListBox1->item(ListBox1->count() - 1);
    }
    ListBox1->setCurrentItem(item);
    item->setSelected(true);
    Guarded([this] { ListBox1Click(); });
}
