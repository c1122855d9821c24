// cabinet extraction tests
