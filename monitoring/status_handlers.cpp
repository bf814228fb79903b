#include "ui/main.h"

void TForm1::ReadStatus() {}
void TForm1::Button6Click() {}
void TForm1::Timer1Timer() {}
