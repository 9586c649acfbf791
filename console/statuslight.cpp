#include "statuslight.h"

#include <QPainter>

StatusLight::StatusLight(QWidget *parent)
    : QWidget(parent)
    , m_colour(0, 255, 255) {
    setFocusPolicy(Qt::NoFocus);
}

void StatusLight::setColour(const QColor &colour) {
    if (colour == m_colour)
        return;
    m_colour = colour;
    update();
}

void StatusLight::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    painter.fillRect(rect().adjusted(1, 1, -1, -1), m_colour);
}
