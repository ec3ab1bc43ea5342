#pragma once

#include <QColor>
#include <QWidget>

namespace metro::window {

/// A drawn rectangle: a one-pixel outline (or none) and a solid fill that can be switched
/// on and off. The beat lamps are shapes whose `lit` property is their fill. Shapes take no
/// mouse input, so a label drawn under one still gets its clicks. Window thread only.
class Shape final : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool lit READ lit WRITE setLit NOTIFY litChanged)
    Q_PROPERTY(QColor fillColour READ fillColour)
    Q_PROPERTY(QColor outlineColour READ outlineColour)

public:
    /// An invalid outline colour draws no outline.
    Shape(const QColor& outline, const QColor& fill, bool lit, QWidget* parent);

    bool lit() const { return m_lit; }
    /// Fills the shape (true) or leaves only its outline (false); repaints on a change.
    void setLit(bool lit);
    /// Fills the shape or not without repainting it; true when that changed. The caller repaints.
    bool changeLit(bool lit);
    QColor fillColour() const { return m_fill; }
    QColor outlineColour() const { return m_outline; }

signals:
    void litChanged(bool lit);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_outline;
    QColor m_fill;
    bool m_lit;
};

} // namespace metro::window
