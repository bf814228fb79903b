#include "ui/main.h"

void TForm1::ProbeAddress(int) {}
void TForm1::Button4Click() {}
void TForm1::Button1Click() {}
void TForm1::Timer5Timer() {}
void TForm1::ListBox1Click() {}
