VIEW bad_noend
int     a     -   1  -  -  -
