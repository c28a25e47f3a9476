// The end-to-end tests' main: a QApplication on the offscreen platform for the reference
// pictures of the window's controls (the program under test runs on the X server).
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
