// The client area of a window laid out in fixed pixels: it keeps its size,
// and the window scrolls it when made smaller.
#pragma once

#include <QScrollArea>
#include <QVBoxLayout>
#include <QWidget>

inline QWidget* MakeScrollingClient(QWidget* window, int width, int height)
{
    auto* scroll = new QScrollArea(window);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setFocusPolicy(Qt::NoFocus);
    auto* client = new QWidget;
    client->setFixedSize(width, height);
    client->setBackgroundRole(QPalette::Window);
    scroll->setWidget(client);
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);
    return client;
}
