#pragma once

#include <QColor>
#include <QWidget>

// A small filled square in one colour, outlined in black.
class StatusLight : public QWidget {
    Q_OBJECT

public:
    explicit StatusLight(QWidget *parent = nullptr);

    void setColour(const QColor &colour);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_colour;
};
