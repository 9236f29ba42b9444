#include <QWidget>
#include <vector>
