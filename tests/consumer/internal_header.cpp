#include "span_kernel.h"

int main()
{
    return 0;
}
