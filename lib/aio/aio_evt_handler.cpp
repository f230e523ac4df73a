#include "aio_evt_handler.h"

// Out of line so the interface's virtual table has one home.
CAioEvtHandler::~CAioEvtHandler() {}

// Most handlers watch no descriptor of their own.
sint32 CAioEvtHandler::OnNotify(CFdContext*) { return 0; }

sint32 CAioEvtHandler::OnTcpPeerDone(CFdContext*) { return -1; }
