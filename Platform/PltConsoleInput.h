// The half of console input that both backends share: the key held between
// PltConsoleKeyWaiting and PltConsoleReadKey, line ends (CR, LF and CR LF are each one Enter)
// and the end of input. Each backend only fetches bytes or keys and hands them in here.
#pragma once

bool PltInputTakeByte(unsigned char byByte); // holds the byte's key; false for the LF of a CR LF
void PltInputHoldKey(unsigned char byKey);   // holds a key as it is (console key events)
// No more input. With bFinalEnter an unfinished last line (pipe or file input) gets its Enter.
void PltInputEnd(bool bFinalEnter);
bool PltInputHasKey(); // a key is held
bool PltInputEnded();  // the input has ended (a held key may still be waiting)
void PltInputReset();  // forgets the held key, the line state and the end (test set-up)
