// The window's layout file and the two logos, without the window's behaviour:
// where the controls lie at the design size and when the window is resized,
// and that the logos are the 8-bit pictures of the given sizes.
#include "main/LogView.h"
#include "ui_MainForm.h"

#include <QFile>
#include <QImage>
#include <QMainWindow>
#include <QSet>
#include <gtest/gtest.h>

#include <cstdint>

// Resources compiled into a static library are registered only on request.
static void LoadResources() {
    Q_INIT_RESOURCE(resources);
}

namespace {

std::uint32_t LittleEndian(const QByteArray& bytes, int offset, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = value << 8 | static_cast<std::uint8_t>(bytes[offset + i]);
    }
    return value;
}

// Position and size in the window's client area, menu bar included.
QRect InWindow(const QWidget* widget, const QWidget* window) {
    return {widget->mapTo(window, QPoint(0, 0)), widget->size()};
}

class FormTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LoadResources(); }

    void Open(bool image1) {
        Form.setupUi(&Window);
        Form.Image1->setVisible(image1);
        Form.Image3->setVisible(!image1);
        Window.show();
        QCoreApplication::processEvents();
    }

    QMainWindow Window;
    Ui::MainForm Form;
};

} // namespace

TEST_F(FormTest, TheControlsLieAsDesignedWithEitherLogo) {
    for (const bool image1 : {false, true}) {
        QMainWindow window;
        Ui::MainForm ui;
        ui.setupUi(&window);
        ui.Image1->setVisible(image1);
        ui.Image3->setVisible(!image1);
        window.show();
        QCoreApplication::processEvents();

        EXPECT_EQ(window.size(), QSize(455, 439));
        EXPECT_EQ(window.menuBar(), ui.ActionMainMenuBar1);
        EXPECT_EQ(InWindow(ui.ActionMainMenuBar1, &window), QRect(0, 0, 455, 25));
        EXPECT_EQ(InWindow(ui.ReaderListBox, &window), QRect(92, 46, 342, 21));
        EXPECT_EQ(InWindow(ui.BitBtn1, &window), QRect(51, 80, 368, 58));
        EXPECT_EQ(InWindow(ui.Panel8, &window), QRect(0, 171, 455, 268));
        // The label's text ends where the designed label ends.
        const QRect label = InWindow(ui.CitacLabela, &window);
        EXPECT_EQ(label.right(), 18 + 63 - 1);
        EXPECT_EQ(label.top(), 49);
        EXPECT_EQ(label.height(), 13);
        EXPECT_TRUE(ui.CitacLabela->alignment() & Qt::AlignRight);

        // Inside the panel: the hidden logo takes no room, the shown one sits
        // at the bottom, the name field above it, the log takes the rest.
        const QLabel* logo = image1 ? ui.Image1 : ui.Image3;
        EXPECT_EQ(ui.LogBox->geometry(), QRect(1, 1, 453, 205));
        EXPECT_EQ(ui.Edit1->geometry(), QRect(1, 206, 453, 21));
        EXPECT_EQ(logo->geometry(), QRect(1, 227, 453, 40));

        // The download's progress bar: hidden until a download, then under
        // the button and as wide, moving nothing else.
        EXPECT_FALSE(ui.ProgressBar1->isVisibleTo(&window));
        ui.ProgressBar1->setVisible(true);
        QCoreApplication::processEvents();
        EXPECT_EQ(InWindow(ui.ProgressBar1, &window), QRect(51, 146, 368, 16));
        EXPECT_EQ(InWindow(ui.BitBtn1, &window), QRect(51, 80, 368, 58));
        EXPECT_EQ(InWindow(ui.Panel8, &window), QRect(0, 171, 455, 268));
    }
}

TEST_F(FormTest, ResizingWidensTheTopControlsAndKeepsThePanelAtTheBottom) {
    Open(true);
    Window.resize(455 + 120, 439 + 80);
    QCoreApplication::processEvents();
    EXPECT_EQ(InWindow(Form.ReaderListBox, &Window), QRect(92, 46, 342 + 120, 21));
    EXPECT_EQ(InWindow(Form.BitBtn1, &Window), QRect(51, 80, 368 + 120, 58));
    EXPECT_EQ(InWindow(Form.Panel8, &Window), QRect(0, 171 + 80, 455 + 120, 268));
    EXPECT_EQ(Form.LogBox->geometry(), QRect(1, 1, 453 + 120, 205));
    EXPECT_EQ(Form.Image1->geometry(), QRect(1, 227, 453 + 120, 40));
}

TEST_F(FormTest, TabGoesFromTheReaderListToTheButtonToTheLogToTheNameField) {
    Open(false);
    QList<QWidget*> order;
    QWidget* w = Form.ReaderListBox;
    for (int step = 0; step < 100 && order.size() < 3; ++step) {
        w = w->nextInFocusChain();
        if ((w->focusPolicy() & Qt::TabFocus) != 0 && Window.isAncestorOf(w) &&
            !qobject_cast<QMenu*>(w->window())) {
            order << w;
        }
    }
    EXPECT_EQ(order, (QList<QWidget*>{Form.BitBtn1, Form.LogBox, Form.Edit1}));
}

TEST_F(FormTest, TheLogosAreShownCentredAndInviteAClick) {
    Open(false);
    for (const QLabel* logo : {Form.Image1, Form.Image3}) {
        EXPECT_FALSE(logo->pixmap().isNull()) << logo->objectName().toStdString();
        EXPECT_EQ(logo->alignment(), Qt::AlignCenter);
        EXPECT_EQ(logo->cursor().shape(), Qt::PointingHandCursor);
    }
    EXPECT_EQ(Form.Image1->pixmap().size(), QSize(150, 29));
    EXPECT_EQ(Form.Image3->pixmap().size(), QSize(215, 26));
}

TEST(LogoTest, BothLogosAreUncompressed8BitBitmapsOfTheirSizes) {
    LoadResources();
    const struct {
        const char* Path;
        int Width;
        int Height;
    } logos[] = {{":/logo1.bmp", 150, 29}, {":/logo3.bmp", 215, 26}};
    for (const auto& logo : logos) {
        SCOPED_TRACE(logo.Path);
        QFile file(QString::fromLatin1(logo.Path));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        ASSERT_GE(bytes.size(), 54);
        EXPECT_EQ(bytes.left(2), QByteArray("BM"));
        EXPECT_EQ(LittleEndian(bytes, 18, 4), static_cast<std::uint32_t>(logo.Width));
        EXPECT_EQ(LittleEndian(bytes, 22, 4), static_cast<std::uint32_t>(logo.Height));
        EXPECT_EQ(LittleEndian(bytes, 28, 2), 8u); // bits per pixel
        EXPECT_EQ(LittleEndian(bytes, 30, 4), 0u); // no compression
        // Rows of 8-bit pixels padded to four bytes, after the header and palette.
        const int stride = (logo.Width + 3) / 4 * 4;
        EXPECT_EQ(bytes.size(),
                  static_cast<int>(LittleEndian(bytes, 10, 4)) + stride * logo.Height);

        const QImage image(QString::fromLatin1(logo.Path));
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), QSize(logo.Width, logo.Height));
        EXPECT_EQ(image.format(), QImage::Format_Indexed8);
        // A picture, not a blank: more than a handful of colours in use.
        QSet<int> used;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                used.insert(image.pixelIndex(x, y));
            }
        }
        EXPECT_GT(used.size(), 16);
    }
}
