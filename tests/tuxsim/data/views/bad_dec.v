VIEW bad_dec
dec_t   amount  -   1  -  -  -
END
