// The control window: program table, set points and the commands to the chamber.
#pragma once

#include <QWidget>

class TForm3 : public QWidget {
    Q_OBJECT
public:
    explicit TForm3(QWidget* parent = nullptr);

protected:
    void closeEvent(QCloseEvent* event) override;
};

extern TForm3* Form3;
