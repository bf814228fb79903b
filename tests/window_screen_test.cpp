// What the window system gets from the windows: the captions an X server
// shows, and where and how large the windows open on a laptop's screen and
// on a full-size one. Each check runs in a child on the platform it needs.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QProcessEnvironment>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include "ui/Unit3.h"
#include "support/AppFixture.h"
#include "support/ChildRun.h"
#include "ui/AlarmCenter.h"
#include "ui/AlarmWindow.h"
#include "ui/ChartWindow.h"
#include "ui/LineMonitorWindow.h"
#include "ui/ErrorDisplay.h"
#include "ui/ScreenFit.h"
#include "ui/Startup.h"
#include "ui/Unit4.h"
#include "ui/Unit5.h"
#include "ui/main.h"

namespace {

// _NET_WM_NAME of an X window as xprop reads it from the server; empty until set.
QString NetWmName(const QWidget* window)
{
    QProcess xprop;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    xprop.setProcessEnvironment(env);
    xprop.start(QStringLiteral("xprop"),
                {QStringLiteral("-id"), QString::number(window->winId()), QStringLiteral("_NET_WM_NAME")});
    xprop.waitForFinished(10000);
    const QString out = QString::fromUtf8(xprop.readAllStandardOutput()).trimmed();
    const qsizetype first = out.indexOf(u'"');
    const qsizetype last = out.lastIndexOf(u'"');
    return first >= 0 && last > first ? out.mid(first + 1, last - first - 1) : QString();
}

QString ShownCaption(QWidget* window)
{
    window->show();
    QString name;
    QElapsedTimer timer;
    timer.start();
    while (name.isEmpty() && timer.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        name = NetWmName(window);
    }
    return name;
}

bool InsideArea(const QRect& frame, const QRect& area) { return area.contains(frame); }

struct ScreenCase {
    const char* size;
    int width, height;
};

}  // namespace

// ---------------------------------------------------------------------------
// Captions

class X11Captions : public AppFixture {};

TEST_F(X11Captions, DISABLED_EveryWindowShowsItsCaptionAlone)
{
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    SetErrorDisplayHook({});  // the real message box
    EXPECT_EQ(ShownCaption(Form1).toStdString(), "Связь с ЭВМ");
    EXPECT_EQ(ShownCaption(Form3).toStdString(), "Управление с ЭВМ");
    EXPECT_EQ(ShownCaption(Form5).toStdString(), "Обрыв связи");
    EXPECT_EQ(ShownCaption(RaiseErrorWindow(Form3)).toStdString(), "Ошибка");
    EXPECT_EQ(ShownCaption(FormChart).toStdString(), "График");

    // The error display's box is captioned with the application title.
    QString boxCaption;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* box = QApplication::activeModalWidget();
        if (!box)
            return;
        poll.stop();
        boxCaption = ShownCaption(box);
        box->close();
    });
    poll.start(50);
    ShowError(QStringLiteral("Проверка"));
    EXPECT_EQ(boxCaption.toStdString(), "Calvetra");
}

TEST(WindowCaptions, WhatTheXServerShowsIsTheCaptionWithoutTheApplicationsName)
{
    XvfbServer server;
    if (server.display().isEmpty() || QStandardPaths::findExecutable("xprop").isEmpty())
        GTEST_SKIP() << "needs Xvfb and xprop";
    const ChildResult child = RunTestInChild("X11Captions.DISABLED_EveryWindowShowsItsCaptionAlone", "xcb",
                                             {"DISPLAY=" + server.display()});
    EXPECT_TRUE(child.finished) << child.output.toStdString();
    EXPECT_EQ(child.exitCode, 0) << child.output.toStdString();
}

// ---------------------------------------------------------------------------
// Screens

TEST(ScreenFit, OuterRectFitsTheAvailableArea)
{
    const QRect laptop(0, 0, 1366, 740);  // a panel takes the bottom 28 pixels
    const QRect shifted(0, 32, 1366, 736);  // a panel on top
    struct Case {
        QRect wanted, available, expected;
    };
    const Case cases[] = {
        {{0, 0, 1127, 856}, laptop, {0, 0, 1127, 740}},
        {{0, 0, 1127, 856}, shifted, {0, 32, 1127, 736}},
        {{0, 0, 1127, 856}, {0, 0, 1920, 1080}, {0, 0, 1127, 856}},
        {{400, 400, 650, 200}, laptop, {400, 400, 650, 200}},
        {{400, 400, 650, 200}, {0, 0, 800, 480}, {150, 280, 650, 200}},
        {{900, 600, 650, 200}, laptop, {716, 540, 650, 200}},
        {{-50, -20, 300, 200}, laptop, {0, 0, 300, 200}},
        {{0, 0, 2000, 1200}, {1920, 0, 1366, 768}, {1920, 0, 1366, 768}},  // a second monitor
    };
    for (const Case& c : cases)
        EXPECT_EQ(FitOuterRect(c.wanted, c.available), c.expected)
            << c.wanted.x() << "," << c.wanted.y() << " " << c.wanted.width() << "x" << c.wanted.height();
}

class ScreenWindows : public AppFixture {};

TEST_F(ScreenWindows, DISABLED_EveryWindowOpensOnTheScreen)
{
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const bool fullSize = area.width() >= 1127 && area.height() >= 856;
    ASSERT_EQ(area.size(), QSize(qEnvironmentVariableIntValue("SCREEN_WIDTH"),
                                 qEnvironmentVariableIntValue("SCREEN_HEIGHT")));

    Form1->show();
    Form3->show();
    Form5->show();
    TForm4* error = RaiseErrorWindow(Form3);
    FormChart->show();
    FormLineMonitor->show();
    AlarmCenter->ShowWindow();
    QCoreApplication::processEvents();

    for (QWidget* w : std::initializer_list<QWidget*>{Form1, Form3, Form5, error, FormChart, FormLineMonitor,
                                                      AlarmCenter->Window()})
        EXPECT_TRUE(InsideArea(w->frameGeometry(), area))
            << w->windowTitle().toStdString() << " at " << w->frameGeometry().x() << "," << w->frameGeometry().y()
            << " " << w->frameGeometry().width() << "x" << w->frameGeometry().height();

    // The specified places and client sizes wherever they fit.
    EXPECT_EQ(Form1->pos(), QPoint(0, 0));
    EXPECT_EQ(error->pos(), QPoint(400, 400));
    EXPECT_EQ(error->size(), QSize(634, 161));
    EXPECT_EQ(Form3->size(), QSize(1125, 661));
    EXPECT_EQ(Form5->size(), QSize(549, 140));
    auto* scroll = Form1->findChild<QScrollArea*>();
    ASSERT_NE(scroll, nullptr);
    if (fullSize) {
        EXPECT_EQ(Form1->size(), QSize(1111, 817));
        EXPECT_FALSE(scroll->horizontalScrollBar()->isVisible());
        EXPECT_FALSE(scroll->verticalScrollBar()->isVisible());
    } else {
        // As tall as the area allows, the rest of the client reached by scrolling.
        EXPECT_LT(Form1->height(), 817);
        EXPECT_GE(Form1->frameGeometry().height(), area.height() - kAssumedFrame.top() - kAssumedFrame.bottom());
        EXPECT_TRUE(scroll->verticalScrollBar()->isVisible());
        // Wide enough for the whole width beside the scroll bar.
        EXPECT_FALSE(scroll->horizontalScrollBar()->isVisible());
        scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
        QCoreApplication::processEvents();
        // "Запись в файл" and the clock can be brought into the window.
        for (QWidget* bottom : std::initializer_list<QWidget*>{Form1->CheckBox1, Form1->Label8, Form1->ButtonChart}) {
            const QRect inWindow(bottom->mapTo(Form1, QPoint(0, 0)), bottom->size());
            EXPECT_TRUE(Form1->rect().contains(inWindow)) << bottom->objectName().toStdString();
        }
    }
}

TEST(ScreenSizes, LaptopAndFullSizeScreens)
{
    const ScreenCase cases[] = {{"laptop", 1366, 768}, {"full size", 1920, 1080}};
    for (const ScreenCase& c : cases) {
        SCOPED_TRACE(c.size);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString config = dir.path() + "/screens.json";
        QFile file(config);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral(R"({"windowFrameMargins": true, "screens": [{"name": "screen", "x": 0, "y": 0,
            "width": %1, "height": %2, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})")
                       .arg(c.width)
                       .arg(c.height)
                       .toUtf8());
        file.close();
        const ChildResult child =
            RunTestInChild("ScreenWindows.DISABLED_EveryWindowOpensOnTheScreen", "offscreen:configfile=" + config,
                           {"SCREEN_WIDTH=" + QString::number(c.width), "SCREEN_HEIGHT=" + QString::number(c.height)});
        EXPECT_TRUE(child.finished) << child.output.toStdString();
        EXPECT_EQ(child.exitCode, 0) << child.output.toStdString();
    }
}
