// The painted controls the pages share: a combo box and an edit whose colours mark a value the
// transmitter rejected, and a picture drawn with its top-left pixel's colour transparent (the
// information page's fault lamps).
#pragma once

#include <QColor>
#include <QComboBox>
#include <QLineEdit>
#include <QPixmap>
#include <QWidget>

namespace zelhart::ui {

// Black on white normally, black on yellow highlighted: how every page shows a rejected value.
inline const QColor kNormalText = Qt::black;
inline const QColor kNormalBackground = Qt::white;
inline const QColor kHighlightBackground = QColor(255, 255, 0);

class CColorComboBox : public QComboBox {
    Q_OBJECT
  public:
    explicit CColorComboBox(QWidget* parent = nullptr);
    void SetColors(QColor normalText, QColor normalBackground, QColor highlightText, QColor highlightBackground);
    // Repaints when the flag changes.
    void SetHighlighted(bool highlighted);
    bool Highlighted() const { return highlighted_; }

  private:
    void ApplyColors();

    QColor normalText_ = Qt::black, normalBackground_ = Qt::white;
    QColor highlightText_ = Qt::black, highlightBackground_ = Qt::white;
    bool highlighted_ = false;
};

class CMyColorEdit : public QLineEdit {
    Q_OBJECT
  public:
    explicit CMyColorEdit(QWidget* parent = nullptr);
    void SetTextColor(QColor color);
    // Replaces the background and repaints.
    void SetBackgroundColor(QColor color);
    QColor BackgroundColor() const { return background_; }

  private:
    void ApplyColors();

    QColor text_ = Qt::black;
    QColor background_ = Qt::white;
};

class CTransparentImage : public QWidget {
    Q_OBJECT
  public:
    explicit CTransparentImage(QWidget* parent = nullptr);
    // The picture; its top-left pixel's colour is drawn transparent. A null pixmap: nothing drawn.
    void SetBitmap(const QPixmap& bitmap);
    const QPixmap& Bitmap() const { return bitmap_; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QPixmap bitmap_;
    QPixmap masked_; // the bitmap with the transparent colour cut out
};

// The fault lamps: 20 x 20 pixels, 16 colours, grey (no fault) or red (fault), on a background
// colour in the corners that CTransparentImage leaves out.
enum class Lamp { Grey, Red };
QPixmap LampBitmap(Lamp lamp);

} // namespace zelhart::ui
