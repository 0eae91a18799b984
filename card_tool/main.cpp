#include "card_tool/card_tool.h"

#include <cstdlib>

int main()
{
    std::exit(card_tool_run());
}
