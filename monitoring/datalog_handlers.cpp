#include "ui/main.h"

void TForm1::CheckBox1Click() {}
void TForm1::Timer6Timer() {}
void TForm1::Timer4Timer() {}
void TForm1::StartLogFileName() {}
void TForm1::AppendLogLine() {}
