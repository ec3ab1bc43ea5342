#include "metro/window/Shape.h"

#include <QPainter>

namespace metro::window {

Shape::Shape(const QColor& outline, const QColor& fill, bool lit, QWidget* parent)
    : QWidget(parent), m_outline(outline), m_fill(fill), m_lit(lit) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void Shape::setLit(bool lit) {
    if (lit == m_lit) {
        return;
    }
    m_lit = lit;
    update();
    emit litChanged(lit);
}

void Shape::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    if (m_lit) {
        painter.fillRect(rect(), m_fill);
    }
    if (m_outline.isValid()) {
        painter.setPen(QPen(m_outline, 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

} // namespace metro::window
