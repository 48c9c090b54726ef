! A Fortran program calling the library's bindings of each kind: lists,
! arrays, parameter files, the error log, times and the string bridge behind
! every character argument. Ends with status 1 when a check fails.
module checks
  use iso_c_binding
  implicit none
  integer :: failures = 0, passed = 0
contains
  subroutine check(ok, what)
    logical, intent(in) :: ok
    character(len=*), intent(in) :: what
    if (ok) then
      passed = passed + 1
    else
      failures = failures + 1
      print '(a,a)', 'FAILED: ', what
    end if
  end subroutine check

  integer(c_int) function compare_ints(a, b, pvt) bind(c)
    integer(c_int) :: a, b
    type(c_ptr), value :: pvt
    compare_ints = a - b
  end function compare_ints
end module checks

program bindings_program
  use checks
  implicit none
  interface
    integer(c_int) function dbcreate(path, schema, dbpath, description, detail) bind(c, name='dbcreate')
      import :: c_int, c_char, c_ptr
      character(kind=c_char) :: path(*), schema(*)
      type(c_ptr), value :: dbpath, description, detail
    end function dbcreate
    integer(c_int) function lgdbopen(path, mode, db) bind(c, name='LGdbopen')
      import :: c_int, c_char
      character(kind=c_char) :: path(*), mode(*)
      integer(c_int) :: db(4)
    end function lgdbopen
  end interface
  integer, external :: pushtbl, unshifttbl, maxtbl, ssearch, strsettbl, mday2doy
  double precision, external :: str2epoch
  integer :: list, strings, pf, pf2, tbl, arr, node, kind, result
  integer :: v, got, i, n, ns, ne, y, doy, h, m, month, day
  integer :: values(6)
  integer(c_int) :: db(4)
  double precision :: e, e2, secs, d
  character(len=40) :: text
  character(len=5) :: short
  character(len=1), parameter :: nl = char(10)

  call elog_init()

  ! Lists of values: a list from newtbl keeps the value pushed.
  call newtbl(list, 0)
  v = 41
  n = pushtbl(list, v)
  v = 99
  n = unshifttbl(list, v)
  call gettbl(list, 1, got)
  call check(got == 41, 'newtbl, pushtbl and gettbl keep the value pushed')
  call check(maxtbl(list) == 2, 'maxtbl counts the entries')
  call poptbl(list, got)
  call check(got == 41, 'poptbl gives the last entry')
  call freetbl(list, %val(0))

  ! Lists of strings.
  call strtbl(strings, 'one', 'two  ', '   ', 'three', char(0))
  call check(maxtbl(strings) == 4, 'strtbl takes the strings before the terminator')
  call strgettbl(strings, 1, short)
  call check(short == 'two', 'strgettbl gives a blank-padded entry')
  call strgettbl(strings, 3, short)
  call check(short == 'three', 'strgettbl of the last entry')
  call strgettbl(strings, 9, short)
  call check(short == ' ', 'strgettbl outside the list gives blanks')
  n = strsettbl(strings, 4, 'new entry')
  call strgettbl(strings, 4, text)
  call check(n == 4 .and. text == 'new entry', 'strsettbl sets an entry')
  call strfreetbl(strings)

  ! Arrays of records: sorting and searching with a Fortran comparison.
  values = (/ 9, 3, 7, 3, 1, 8 /)
  call isort(values, 6, 4, compare_ints, c_null_ptr)
  call check(all(values == (/ 1, 3, 3, 7, 8, 9 /)), 'isort sorts with a Fortran comparison')
  values = (/ 9, 3, 7, 3, 1, 8 /)
  call shellsort(values, 6, 4, compare_ints, c_null_ptr)
  call check(all(values == (/ 1, 3, 3, 7, 8, 9 /)), 'shellsort sorts likewise')
  v = 3
  n = ssearch(v, 4, values, 6, 0, compare_ints, c_null_ptr, ns, ne)
  call check(n == 2 .and. ns == 2 .and. ne == 3, 'ssearch counts positions from 1')

  ! Parameter files, their lists and associative arrays.
  pf = 0
  call pfcompile('a 5' // nl // 'b 2.5' // nl // 's hello world' // nl // &
                 'l &Tbl{' // nl // 'x' // nl // 'y' // nl // '}' // nl // &
                 'r &Arr{' // nl // 'k v' // nl // '}' // nl, pf, result)
  call check(result == 0 .and. pf /= 0, 'pfcompile makes a tree')
  call pfget_string(pf, 's', text)
  call check(text == 'hello world', 'pfget_string')
  call pfget_string(pf, 's', short)
  call check(short == 'hello', 'pfget_string cut to the result length')
  call pfget_string(pf, 'missing', short)
  call check(short == ' ', 'pfget_string of a missing name gives blanks')
  call pfget_int(pf, 'a', i)
  call pfget_double(pf, 'b', d)
  call check(i == 5 .and. d == 2.5d0, 'pfget_int and pfget_double')
  call pfget_tbl(pf, 'l', tbl)
  call check(maxtbl(tbl) == 2, 'pfget_tbl gives a list handle')
  call strgettbl(tbl, 1, short)
  call check(short == 'y', 'strgettbl of a list from a parameter file')
  call freetbl(tbl, %val(0))
  call pfget(pf, 'l', node, kind)
  call check(kind == 2 .and. node /= 0, 'pfget gives the kind and a node handle')
  call pfget_arr(pf, 'r', arr)
  call pfnew(0, pf2)
  call pfput_arr(pf2, 'copy', arr)
  call pfget_string(pf2, 'copy{k}', short)
  call check(short == 'v', 'pfget_arr and pfput_arr')
  call pfput_string(pf, 'added', 'value   ')
  call pfput_int(pf, 'a', 7)
  call pfget_string(pf, 'added', text)
  call pfget_int(pf, 'a', i)
  call check(text == 'value' .and. i == 7, 'pfput_string and pfput_int')
  call twins(pf)
  call pffree(pf2)
  call pffree(pf)
  call check(maxtbl(tbl) == -1, 'a freed list handle is refused, not followed')

  ! The error log.
  call register_error(0, 'a message for the register')
  call clear_register(%val(0))
  call complain(0, 'a complaint from Fortran')

  ! Times.
  e = str2epoch('2024-060 12:30:15.5')
  call etoh(e, y, doy, h, m, secs)
  call check(y == 2024 .and. doy == 60 .and. h == 12 .and. m == 30 .and. secs == 15.5d0, 'etoh')
  call htoe(y, doy, h, m, secs, e2)
  call check(e2 == e, 'htoe')
  call epoch2str(text, e, '%Y %j %H:%M')
  call check(text == '2024 060 12:30', 'epoch2str')
  call doy2mday(60, 2024, month, day)
  call check(month == 2 .and. day == 29, 'doy2mday')
  call check(mday2doy(2024, 3, 1) == 61, 'mday2doy')

  ! The database library's relation-list binding, on a database of the
  ! schema bindings_db1.0, found along SCHEMA_DIR (the test's data folder).
  call check(dbcreate('bindings_db'//c_null_char, 'bindings_db1.0'//c_null_char, &
                      c_null_ptr, c_null_ptr, c_null_ptr) == 0, 'dbcreate')
  call check(lgdbopen('bindings_db'//c_null_char, 'r'//c_null_char, db) == 0, 'LGdbopen')
  call dbtables(list, db, 'sta     ')
  call check(maxtbl(list) == 2, 'dbtables of a blank-padded attribute name')
  call dbtables(list, db, 'lat')
  call check(maxtbl(list) == 1, 'dbtables of an attribute of one relation')
  call dbtables(list, db, '   ')
  call check(maxtbl(list) == 0, 'dbtables of a blank name gives the empty list')

  ! Data files.
  text = 'not blank'
  call datafile(text, 'NO_SUCH_VARIABLE', 'no-such-data-file')
  call check(text == ' ', 'datafile of a missing file gives blanks')

  print '(a,i0,a,i0,a)', 'fortran bindings: ', passed, ' checks passed, ', failures, ' failed'
  if (failures > 0) error stop 1
end program bindings_program
