// JexModem: the status class of the modem transport, with its table of 94 codes.
#include "jexlink/modem/JexModem.h"

#define JEX_TEXT_CLASS JexModem
const JexTextRow JexModem::kTextTable[] = JEX_TEXT_TABLE(JEXMODEM_TEXTS);
#undef JEX_TEXT_CLASS

JexModem::JexModem() : JexModem("JexModem") {}

JexModem::JexModem(const char* className) : JexModemClient(kTextTable, className) {
    SetSuppress(1);
}

JexModem::~JexModem() = default;

int JexModem::GetMsg(JexBuffer& /*out*/, int /*flags*/, int /*seconds*/) { return FAILURE; }

int JexModem::PutMsg(JexBuffer& /*message*/, int /*flags*/) { return FAILURE; }

int JexModem::GetAttr(int /*attribute*/, JexString& /*out*/) { return FAILURE; }

int JexModem::GetAttr(int /*attribute*/, int& /*out*/) { return FAILURE; }

int JexModem::SetAttr(int /*attribute*/, const char* /*value*/) { return FAILURE; }

int JexModem::SetAttr(int /*attribute*/, int /*value*/) { return FAILURE; }

int JexModem::Connect(const char* /*address*/, int /*speed*/) { return FAILURE; }

int JexModem::Listen(const char* /*name*/) { return FAILURE; }

int JexModem::Disconnect() { return FAILURE; }
