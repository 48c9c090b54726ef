! Compiled with a second underscore added to names that hold one, as some
! Fortran compilers name externals: these calls reach the "__" bindings.
subroutine twins(pf)
  use checks
  implicit none
  integer, intent(in) :: pf
  character(len=20) :: text
  integer :: i, tbl
  double precision :: d
  call elog_init()
  call pfput_string(pf, 'twin', 'second  ')
  call pfget_string(pf, 'twin', text)
  call check(text == 'second', 'pfput_string__ and pfget_string__')
  call pfput_int(pf, 'n', 3)
  call pfget_int(pf, 'n', i)
  call pfput_double(pf, 'd', 0.25d0)
  call pfget_double(pf, 'd', d)
  call check(i == 3 .and. d == 0.25d0, 'pfput_int__, pfget_int__, pfput_double__, pfget_double__')
  call pfget_tbl(pf, 'l', tbl)
  call check(tbl /= 0, 'pfget_tbl__')
  call register_error(0, 'a message through the twin')
  call clear_register(%val(0))
end subroutine twins
