VIEW good_before
int     a     -   1  -  -  -
END
VIEW bad_type
integer a     -   1  -  -  -
END
