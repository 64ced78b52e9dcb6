// JexMsg: the error class of the library's general messages, and its message table.
#include "jexlink/messages/JexMsg.h"

#define JEX_TEXT_CLASS JexMsg
const JexTextRow JexMsg::kTextTable[] = JEX_TEXT_TABLE(JEXMSG_TEXTS);
#undef JEX_TEXT_CLASS

JexMsg::JexMsg(int code, const JexExcArgs& args, JexException* cause)
    : JexException(kTextTable, "JexMsg") {
    SetSuppress(1);
    ExcSet(code, args, cause);
}

JexMsg::~JexMsg() = default;
