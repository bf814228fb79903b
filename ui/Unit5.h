// The link-loss window, shown after a status poll that got no reply.
#pragma once

#include <QLabel>
#include <QWidget>

class TForm5 : public QWidget {
    Q_OBJECT
public:
    explicit TForm5(QWidget* parent = nullptr);
    QLabel* Label1;
};

extern TForm5* Form5;
