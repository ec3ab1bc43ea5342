#include "metro/window/Shape.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace metro::window {

Shape::Shape(const QColor& outline, const QColor& fill, bool lit, QWidget* parent)
    : QWidget(parent), m_outline(outline), m_fill(fill), m_lit(lit) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void Shape::setLit(bool lit) {
    if (changeLit(lit)) {
        update();
    }
}

bool Shape::changeLit(bool lit) {
    if (lit == m_lit) {
        return false;
    }
    m_lit = lit;
    emit litChanged(lit);
    return true;
}

// The outline is drawn as four filled bands of whole device pixels, so that on a scaled screen
// (1.25, 1.5, ...) every side is equally thick and the fill meets it without a blurred seam.
void Shape::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    const QRectF area = rect();
    if (m_lit) {
        painter.fillRect(area, m_fill);
    }
    if (m_outline.isValid()) {
        const qreal ratio = devicePixelRatioF();
        const qreal band = std::max(1.0, std::floor(ratio)) / ratio;
        painter.fillRect(QRectF(area.left(), area.top(), area.width(), band), m_outline);
        painter.fillRect(QRectF(area.left(), area.bottom() - band, area.width(), band), m_outline);
        painter.fillRect(QRectF(area.left(), area.top(), band, area.height()), m_outline);
        painter.fillRect(QRectF(area.right() - band, area.top(), band, area.height()), m_outline);
    }
}

} // namespace metro::window
