VIEW bad_size
string  name  -   1  -  -  -
END
