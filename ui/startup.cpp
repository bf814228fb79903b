#include "ui/Startup.h"

#include <QApplication>
#include <QFont>

#include "control/Unit3.h"
#include "link/PortUnit.h"
#include "monitoring/LineMonitor.h"
#include "monitoring/Monitoring.h"
#include "monitoring/PortSettings.h"
#include "ui/ChartWindow.h"
#include "ui/LineMonitorWindow.h"
#include "ui/Unit5.h"
#include "ui/main.h"

namespace {
void SubstituteFonts()
{
    // Metric-compatible faces from fonts-liberation keep the captions inside
    // the boxes they were laid out for.
    QFont::insertSubstitution(QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif"));
    QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"));
    QFont::insertSubstitution(QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"));
}
}  // namespace

void CreateApplicationWindows(bool show)
{
    ResetMonitoringState();
    QApplication::setApplicationName(QStringLiteral("Calvetra"));
    // With the application name, where QSettings keeps the operator's choices.
    QApplication::setOrganizationName(QStringLiteral("Calvetra"));
    ApplyPortMapping(LoadPortSettings());
    QApplication::setApplicationDisplayName(QStringLiteral("Calvetra"));
    QApplication::setQuitOnLastWindowClosed(false);
    SubstituteFonts();
    Form1 = new TForm1;
    if (show)
        Form1->show();
    Form3 = new TForm3;
    Form5 = new TForm5;
    FormChart = new TChartWindow;
    FormLineMonitor = new TLineMonitorWindow;
    StartLineRecording();
}

void DestroyApplicationWindows()
{
    StopLineRecording();
    delete FormLineMonitor;
    FormLineMonitor = nullptr;
    delete FormChart;
    FormChart = nullptr;
    delete Form5;
    Form5 = nullptr;
    delete Form3;
    Form3 = nullptr;
    delete Form1;
    Form1 = nullptr;
    ClosePort();
}
